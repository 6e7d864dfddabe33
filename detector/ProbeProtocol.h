// The probe exchange on the wire: the 16-byte request, and what a reply does to
// the candidates. Byte order is explicit, so this reads the same on any host.
#pragma once

#include <stdint.h>

#include "CandidateList.h"

enum : uint32_t {
    kProbeCommand = 2,
    kProbeSize = 16,        // request size, and size of a short reply
    kProbeFillData = 1,
    kReportWindowMs = 5000, // replies later than this after the start are not reported
    kReplyExaminedSize = 20, // a reply's bytes after the load field are never looked at
};

// The request, field by field.
struct LRDPdu {
    uint32_t dwCmd;
    uint16_t ushSeq;
    uint16_t ushUnused;
    uint32_t dwTick;
    uint32_t dwFillData;
};
static_assert(sizeof(LRDPdu) == kProbeSize, "request layout");

// Builds request number seq (its low 16 bits go on the wire) sent at tick.
LRDPdu MakeRequest(uint32_t seq, uint32_t tick);
// Writes the request in its little-endian wire form.
void EncodeRequest(const LRDPdu& pdu, uint8_t (&wire)[kProbeSize]);

// Canonical dotted-decimal text of an IPv4 address given in network byte order
// (the bytes as they stand in memory), as candidates are matched by text.
void FormatIPv4(const uint8_t (&address)[4], char (&text)[16]);

enum class ReplyVerdict {
    kTooShort,  // fewer than 16 bytes
    kDropped,   // wrong command, zero tick, or a tick this detection never sent
    kAccepted,  // candidates updated; rtt holds the round-trip time
};

struct ReplyOutcome {
    ReplyVerdict verdict;
    uint32_t rtt;
};

// Applies one received datagram to the candidates. A short reply (16 bytes) sets
// the round-trip time of every candidate with the source's address; a long one
// sets round-trip time and load of every candidate with the source's address and
// port. Only ticks from startTick to arrivalTick can answer a request of this
// detection; any other tick is stale or forged and the reply is dropped. Only the
// first kReplyExaminedSize bytes are read, so a datagram cut to them (with its
// length cut too) is handled as the whole one.
ReplyOutcome HandleReply(CandidateList& candidates, const uint8_t* data, int32_t length, const char* sourceText,
                         uint16_t sourcePort, uint32_t startTick, uint32_t arrivalTick);
