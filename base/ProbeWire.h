// The probe exchange on the wire, as both of its ends write and read it: the
// detector builds requests and reads replies, a responder reads requests and
// builds answers. Byte order is explicit, so this reads the same on any host.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>

// The request, field by field. On the wire every field is little-endian.
struct LRDPdu {
    uint32_t dwCmd;
    uint16_t ushSeq;
    uint16_t ushUnused;
    uint32_t dwTick;
    uint32_t dwFillData;
};

enum : uint32_t {
    kProbeCommand = 2,
    // Every request carries this fill data, and only a datagram that carries it is
    // a request.
    kRequestFillData = 1,
    // Answers carry this fill data instead, so that an answer is never a request:
    // one forged datagram cannot set two responders answering each other forever.
    kReplyFillData = 0,
    kProbeSize = 16,      // a request, and a short reply
    kLongReplySize = 20,  // a reply with dwLoad, the largest there is
    kCmdOffset = 0,
    kSeqOffset = 4,
    kTickOffset = 8,
    kFillDataOffset = 12,
    kLoadOffset = 16,     // dwLoad, big-endian, only in a long reply
};
static_assert(sizeof(LRDPdu) == kProbeSize, "request layout");

// A 32-bit field of the request layout at `offset`, little-endian.
uint32_t ReadPduField(const uint8_t* datagram, size_t offset);
void WritePduField(uint8_t* datagram, size_t offset, uint32_t value);
// dwLoad at kLoadOffset, big-endian (network byte order).
void WriteLoad(uint8_t* datagram, uint32_t load);

// Builds request number seq (its low 16 bits go on the wire) sent at tick.
LRDPdu MakeRequest(uint32_t seq, uint32_t tick);
// Writes the request in its wire form.
void EncodeRequest(const LRDPdu& pdu, uint8_t (&wire)[kProbeSize]);

// Why a responder answers a datagram, or why not.
enum class RequestVerdict { kAnswer, kTooShort, kWrongCommand, kZeroTick, kWrongFillData };

// Reads a datagram as a request: at least 16 bytes, command 2, a non-zero tick
// and the request's fill data. Bytes after the first 16 are not examined.
RequestVerdict CheckRequest(const uint8_t* datagram, size_t size);

// Writes the answer to a request that CheckRequest accepts: its first 12 bytes
// unchanged, the reply's fill data, then the load when there is one. Returns the
// answer's size, 16 or 20.
size_t EncodeAnswer(const uint8_t* request, const std::optional<uint32_t>& load, uint8_t (&answer)[kLongReplySize]);

// A reply as the detector reads it.
struct LRDReply {
    uint32_t dwCmd;
    uint32_t dwTick;
    bool bLong;       // more than 16 bytes, so it carries dwLoad
    uint32_t dwLoad;  // 0 in a short reply
};

// Reads a datagram of at least 16 bytes as a reply; false for a shorter one. Only
// the first 20 bytes are examined, and the missing load bytes of a long reply
// shorter than that read as zero.
bool DecodeReply(const uint8_t* datagram, size_t size, LRDReply& reply);
