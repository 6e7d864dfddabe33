// The verdict on one received datagram: everything that is decided about it, in
// one place, from the bytes, the source and the tick of its arrival. The bytes of
// requests and replies are written and read by ProbeWire.h.
#pragma once

#include <stdint.h>

#include "CandidateList.h"
#include "ProbeWire.h"

enum : uint32_t {
    kReportWindowMs = 5000, // replies later than this after the start are not reported
    kReplyExaminedSize = kLongReplySize, // a reply's bytes after the load field are never looked at
};

// Canonical dotted-decimal text of an IPv4 address given in network byte order
// (the bytes as they stand in memory): the text the sink and the lines show.
void FormatIPv4(const uint8_t (&address)[4], char (&text)[16]);

// Whether a server can answer from the IPv4 address (network byte order, as it
// stands in memory). Not from 0.0.0.0/8 (0.0.0.0 itself would reach this host),
// nor from multicast 224.0.0.0/4 (one request would go to every host of the
// segment) or 240.0.0.0/4 (reserved, and 255.255.255.255, the broadcast address
// that text which does not convert becomes): no request goes there.
bool ProbeableAddress(const uint8_t (&address)[4]);

enum class ReplyVerdict {
    kTooShort,   // fewer than 16 bytes
    kDropped,    // wrong command or zero tick
    kUnsent,     // no request to its address carried its tick: stale, lying, forged or a stranger's
    kRepeat,     // a copy of a reply taken already: its request was answered
    kAccepted,   // the first reply to one of the requests
};

struct ReplyOutcome {
    ReplyVerdict verdict;
    // The candidate whose request it echoes (kRepeat and kAccepted).
    const IPInfo* pRecord;
    uint32_t dwRtt;          // from the request it echoes
    uint32_t dwLoad;         // the load it carried; 0 for a short reply, which carries none
    bool bFirstForCandidate; // accepted, and the candidate's first reply of the detection
    bool bSetsValues;        // accepted, and its time (and load) now stand for the candidate
    bool bReport;            // the sink hears it
};

// Judges one datagram (its first kReplyExaminedSize bytes at most; a datagram
// cut to them, with its length cut too, is judged as the whole one) from the
// source address (network byte order) and port, arriving at arrivalTick of a
// detection started at startTick, and applies an accepted reply to the
// candidate whose request it echoes.
//
// A reply counts only when it echoes exactly a tick that one of this
// detection's requests carried to its address, and then only for the candidate
// of that request, even when it came from another port of the address. Its
// round-trip time is counted from that request. A short reply (16 bytes) sets
// the candidate's time, a long one its time and load.
//
// Every request's first reply is accepted, and the sink hears it when it came
// within kReportWindowMs of the start and from a port other than 0: a host that
// sends a round of requests again hears every reply of that round, with its own
// time. A copy of it changes nothing. The values that stand are those of the
// reply to the candidate's earliest answered request: a later request's reply
// replaces nothing, and an earlier request's reply that comes after all
// replaces them, so that a server asked again is timed by the request it would
// have been timed by alone, not by the luckier of two. A guess at a request's
// tick, 32 random bits away, replaces nothing in practice.
ReplyOutcome JudgeReply(CandidateList& candidates, const uint8_t* data, int32_t length, const uint8_t (&source)[4],
                        uint16_t sourcePort, uint32_t startTick, uint32_t arrivalTick);
