#include "ProbeReply.h"

#include <algorithm>

namespace lrdresponder {

Verdict AnswerRequest(const uint8_t* datagram, size_t size, const std::optional<uint32_t>& load, Reply& reply)
{
    Verdict verdict = CheckRequest(datagram, size);
    if (verdict != Verdict::kAnswer)
        return verdict;
    uint8_t answer[kLongReplySize];
    reply.size = EncodeAnswer(datagram, load, answer);
    std::copy(answer, answer + reply.size, reply.bytes.begin());
    return verdict;
}

}  // namespace lrdresponder
