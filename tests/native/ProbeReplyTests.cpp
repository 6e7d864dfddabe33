// The wire rules of lrdresponder, through its platform-free reply function.
#include <gtest/gtest.h>

#include <vector>

#include "ProbeReply.h"

using namespace lrdresponder;

namespace {

using Bytes = std::vector<uint8_t>;

// dwCmd 2, ushSeq 0x0304, spare bytes 05 06 (echoed, not examined), dwTick
// 0x0A0B0C0D, dwFillData 1: every byte tells where it went.
const Bytes kRequest{2, 0, 0, 0, 4, 3, 5, 6, 0x0D, 0x0C, 0x0B, 0x0A, 1, 0, 0, 0};

Verdict Answer(const Bytes& request, std::optional<uint32_t> load, Bytes& reply)
{
    Reply out;
    out.bytes.fill(0xEE);
    Verdict verdict = AnswerRequest(request.data(), request.size(), load, out);
    reply.assign(out.bytes.begin(), out.bytes.begin() + out.size);
    return verdict;
}

// The request with the fill data of an answer.
const Bytes kEcho{2, 0, 0, 0, 4, 3, 5, 6, 0x0D, 0x0C, 0x0B, 0x0A, 0, 0, 0, 0};

}  // namespace

TEST(ProbeReply, EchoesTheFirstTwelveBytesMarksTheFillDataAndAppendsTheLoadBigEndian)
{
    Bytes reply;
    EXPECT_EQ(Answer(kRequest, std::nullopt, reply), Verdict::kAnswer);
    EXPECT_EQ(reply, kEcho);

    Bytes expected = kEcho;
    expected.insert(expected.end(), {0x01, 0x02, 0x03, 0x04});
    EXPECT_EQ(Answer(kRequest, 0x01020304u, reply), Verdict::kAnswer);
    EXPECT_EQ(reply, expected);

    // A load of 0 is still sent as it is; the detector reads it as 1.
    expected.resize(16);
    expected.insert(expected.end(), 4, 0);
    EXPECT_EQ(Answer(kRequest, 0u, reply), Verdict::kAnswer);
    EXPECT_EQ(reply, expected);
}

TEST(ProbeReply, AnswersALongRequestWithItsFirstSixteenBytesOnly)
{
    Bytes request = kRequest;
    request.insert(request.end(), 1000, 0x77);
    Bytes reply;
    EXPECT_EQ(Answer(request, 0xFFFFFFFFu, reply), Verdict::kAnswer);
    Bytes expected = kEcho;
    expected.insert(expected.end(), 4, 0xFF);
    EXPECT_EQ(reply, expected);
}

// An answer that a forged source sends to another responder, or back to this
// one, must not be answered again.
TEST(ProbeReply, AnAnswerIsNotARequest)
{
    for (std::optional<uint32_t> load : {std::optional<uint32_t>(), std::optional<uint32_t>(1u)}) {
        Bytes reply, again;
        ASSERT_EQ(Answer(kRequest, load, reply), Verdict::kAnswer);
        EXPECT_EQ(Answer(reply, load, again), Verdict::kWrongFillData);
    }
}

TEST(ProbeReply, RefusesInvalidRequestsWithTheirReasonAndLeavesTheReplyAlone)
{
    Reply untouched;
    untouched.bytes.fill(0xEE);
    auto judge = [&](const Bytes& request) {
        Reply out = untouched;
        Verdict verdict = AnswerRequest(request.data(), request.size(), 7u, out);
        EXPECT_EQ(out.size, 0u);
        EXPECT_EQ(out.bytes, untouched.bytes);
        return verdict;
    };
    EXPECT_EQ(judge({}), Verdict::kTooShort);
    EXPECT_EQ(judge(Bytes(kRequest.begin(), kRequest.end() - 1)), Verdict::kTooShort);

    Bytes wrong = kRequest;
    wrong[0] = 3;
    EXPECT_EQ(judge(wrong), Verdict::kWrongCommand);
    // The command in network byte order is another command.
    wrong[0] = 0;
    wrong[3] = 2;
    EXPECT_EQ(judge(wrong), Verdict::kWrongCommand);
    // Only the low byte of the tick in network byte order: still a tick.
    Bytes zeroTick = kRequest;
    zeroTick[8] = zeroTick[9] = zeroTick[10] = zeroTick[11] = 0;
    EXPECT_EQ(judge(zeroTick), Verdict::kZeroTick);
    zeroTick[11] = 1;
    Bytes reply;
    EXPECT_EQ(Answer(zeroTick, std::nullopt, reply), Verdict::kAnswer);

    // Fill data other than 1, in either byte order.
    for (uint8_t first : {0, 2, 0xFF}) {
        Bytes fill = kRequest;
        fill[12] = first;
        EXPECT_EQ(judge(fill), Verdict::kWrongFillData);
    }
    Bytes bigEndianFill = kRequest;
    bigEndianFill[12] = 0;
    bigEndianFill[15] = 1;
    EXPECT_EQ(judge(bigEndianFill), Verdict::kWrongFillData);

    // Garbage of request size, and a zero-filled one.
    EXPECT_EQ(judge(Bytes(16, 0xAB)), Verdict::kWrongCommand);
    EXPECT_EQ(judge(Bytes(16, 0)), Verdict::kWrongCommand);
}
