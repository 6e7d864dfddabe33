// What a reply does to the candidates, and the source text it is matched by. The
// bytes of requests and replies are written and read by ProbeWire.h.
#pragma once

#include <stdint.h>

#include "CandidateList.h"
#include "ProbeWire.h"

enum : uint32_t {
    kReportWindowMs = 5000, // replies later than this after the start are not reported
    kReplyExaminedSize = kLongReplySize, // a reply's bytes after the load field are never looked at
};

// Canonical dotted-decimal text of an IPv4 address given in network byte order
// (the bytes as they stand in memory), as candidates are matched by text.
void FormatIPv4(const uint8_t (&address)[4], char (&text)[16]);

// Whether a server can answer from the IPv4 address (network byte order, as it
// stands in memory). Not from 0.0.0.0/8 (0.0.0.0 itself would reach this host),
// nor from multicast 224.0.0.0/4 (one request would go to every host of the
// segment) or 240.0.0.0/4 (reserved, and 255.255.255.255, the broadcast address
// that text which does not convert becomes): no request goes there.
bool ProbeableAddress(const uint8_t (&address)[4]);

enum class ReplyVerdict {
    kTooShort,  // fewer than 16 bytes
    kDropped,   // wrong command, zero tick, or a tick this detection never sent
    kRepeat,    // counting each server once: its server had answered already
    kAccepted,  // candidates updated; dwRtt holds the round-trip time
};

struct ReplyOutcome {
    ReplyVerdict verdict;
    uint32_t dwRtt;
    // Counting each server once: the first reply from a listed server.
    bool bFirstFromServer;
};

// Applies one received datagram to the candidates. A short reply (16 bytes) sets
// the round-trip time of every candidate with the source's address; a long one
// sets round-trip time and load of every candidate with the source's address and
// port. Only ticks from startTick to arrivalTick can answer a request of this
// detection; any other tick is stale or forged and the reply is dropped. Only the
// first kReplyExaminedSize bytes are read, so a datagram cut to them (with its
// length cut too) is handled as the whole one.
//
// countOnce: a server that asks again is answered by any of its requests, and
// counts with its first answer; a later reply from the address and port of a
// candidate that has answered already (to another of its requests, or a
// duplicate) is a repeat and changes nothing.
ReplyOutcome HandleReply(CandidateList& candidates, const uint8_t* data, int32_t length, const char* sourceText,
                         uint16_t sourcePort, uint32_t startTick, uint32_t arrivalTick, bool countOnce = false);
