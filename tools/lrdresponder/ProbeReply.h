// The answer to one probe request, as plain bytes. No sockets here: both
// platforms and the tests share this one reading of the wire format, which is
// the detector's own (ProbeWire.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "ProbeWire.h"

namespace lrdresponder {

using Verdict = RequestVerdict;

struct Reply {
    std::array<uint8_t, kLongReplySize> bytes{};
    size_t size = 0;
};

// Judges one received datagram. A valid request (at least 16 bytes, command 2,
// a non-zero tick, fill data 1) gets its first 12 bytes back unchanged, then the
// reply's fill data, then `load` in network byte order when there is one;
// `reply` is left alone otherwise.
Verdict AnswerRequest(const uint8_t* datagram, size_t size, const std::optional<uint32_t>& load, Reply& reply);

}  // namespace lrdresponder
