// The answer to one probe request, as plain bytes. No sockets here: both
// platforms and the tests share this one reading of the wire format.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace lrdresponder {

// dwCmd (u32), ushSeq (u16), two spare bytes, dwTick (u32), dwFillData (u32),
// all little-endian.
constexpr size_t kRequestSize = 16;
constexpr uint32_t kProbeCommand = 2;
// Every detector sends this fill data; only a datagram that carries it is a request.
constexpr uint32_t kRequestFillData = 1;
// Answers carry this fill data instead, so that an answer is never a request:
// one forged datagram cannot set two responders answering each other forever.
// Detectors do not read the field of a reply.
constexpr uint32_t kReplyFillData = 0;
constexpr size_t kFillDataOffset = 12;
// The echoed request and dwLoad, big-endian.
constexpr size_t kMaxReplySize = kRequestSize + 4;

enum class Verdict { Answer, TooShort, WrongCommand, ZeroTick, WrongFillData };

struct Reply {
    std::array<uint8_t, kMaxReplySize> bytes{};
    size_t size = 0;
};

// Judges one received datagram. A valid request (at least 16 bytes, command 2,
// a non-zero tick, fill data 1) gets its first 12 bytes back unchanged, then the
// reply's fill data, then `load` in network byte order when there is one;
// `reply` is left alone otherwise.
Verdict AnswerRequest(const uint8_t* datagram, size_t size, const std::optional<uint32_t>& load, Reply& reply);

}  // namespace lrdresponder
