#include "ProbeReply.h"

#include <algorithm>

namespace lrdresponder {

namespace {

uint32_t LittleEndianAt(const uint8_t* bytes, size_t offset)
{
    return uint32_t(bytes[offset]) | uint32_t(bytes[offset + 1]) << 8 | uint32_t(bytes[offset + 2]) << 16 |
           uint32_t(bytes[offset + 3]) << 24;
}

}  // namespace

Verdict AnswerRequest(const uint8_t* datagram, size_t size, const std::optional<uint32_t>& load, Reply& reply)
{
    if (size < kRequestSize)
        return Verdict::TooShort;
    if (LittleEndianAt(datagram, 0) != kProbeCommand)
        return Verdict::WrongCommand;
    if (LittleEndianAt(datagram, 8) == 0)
        return Verdict::ZeroTick;
    if (LittleEndianAt(datagram, kFillDataOffset) != kRequestFillData)
        return Verdict::WrongFillData;

    // Only the first 16 bytes go back, so a long request cannot make a long answer.
    std::copy(datagram, datagram + kFillDataOffset, reply.bytes.begin());
    for (size_t i = 0; i < 4; ++i)
        reply.bytes[kFillDataOffset + i] = uint8_t(kReplyFillData >> (8 * i));
    reply.size = kRequestSize;
    if (load) {
        for (size_t i = 0; i < 4; ++i)
            reply.bytes[kRequestSize + i] = uint8_t(*load >> (8 * (3 - i)));
        reply.size += 4;
    }
    return Verdict::Answer;
}

}  // namespace lrdresponder
