// The wire format and what one datagram does to the candidates.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "ProbeProtocol.h"
#include "ReplyQueue.h"

namespace {

IPInfo Candidate(const char* ip, uint16_t port)
{
    IPInfo info = {};
    strcpy(info.szIP, ip);
    info.ushPort = port;
    info.dwRTT = 5000;
    info.dwLoad = 100;
    return info;
}

std::vector<uint8_t> Reply(uint32_t tick, size_t length, const std::vector<uint8_t>& tail = {}, uint32_t command = 2)
{
    std::vector<uint8_t> data(length, 0);
    uint8_t wire[kProbeSize];
    LRDPdu pdu = MakeRequest(7, tick);
    pdu.dwCmd = command;
    EncodeRequest(pdu, wire);
    memcpy(data.data(), wire, std::min(length, sizeof wire));
    for (size_t i = 0; i < tail.size() && 16 + i < length; ++i)
        data[16 + i] = tail[i];
    return data;
}

class ReplyHandling : public ::testing::Test {
protected:
    // Candidates are filled in a known order: no random placement is involved.
    void SetUp() override
    {
        for (const IPInfo& info : {Candidate("127.0.0.2", 8000), Candidate("127.0.0.2", 9000),
                                   Candidate("127.0.0.3", 8000), Candidate("127.000.0.3", 8000)})
            ASSERT_TRUE(candidates.InsertRandom(info));
    }

    ReplyOutcome Handle(const std::vector<uint8_t>& data, const char* source, uint16_t port,
                        uint32_t arrival = 1100)
    {
        return HandleReply(candidates, data.data(), (int32_t)data.size(), source, port, kStart, arrival);
    }

    IPInfo Find(const char* ip, uint16_t port) const
    {
        IPInfo found = {};
        candidates.Walk([&](const IPInfo& info) {
            if (strcmp(info.szIP, ip) == 0 && info.ushPort == port)
                found = info;
        });
        return found;
    }

    static constexpr uint32_t kStart = 1000;
    CandidateList candidates;
};

TEST(ProbeRequest, WireBytesAreLittleEndianWithTheFixedFields)
{
    uint8_t wire[kProbeSize];
    EncodeRequest(MakeRequest(1, 0x01020304), wire);
    const uint8_t expected[kProbeSize] = {2, 0, 0, 0, 1, 0, 0, 0, 4, 3, 2, 1, 1, 0, 0, 0};
    EXPECT_EQ(memcmp(wire, expected, sizeof wire), 0);

    EXPECT_EQ(MakeRequest(65536, 5).ushSeq, 0) << "only the low 16 bits go on the wire";
    EXPECT_EQ(MakeRequest(65537, 5).ushSeq, 1);
}

TEST(ProbeRequest, AddressTextIsCanonicalDottedDecimal)
{
    char text[16];
    FormatIPv4({127, 0, 0, 1}, text);
    EXPECT_STREQ(text, "127.0.0.1");
    FormatIPv4({255, 255, 255, 255}, text);
    EXPECT_STREQ(text, "255.255.255.255");
    EXPECT_TRUE(SameAddressText("abc.DEF", "ABC.def"));
    EXPECT_FALSE(SameAddressText("127.0.0.1", "127.0.0.10"));
    EXPECT_FALSE(SameAddressText("127.0.0.10", "127.0.0.1"));
}

TEST_F(ReplyHandling, ShortReplySetsTheTimeOfEveryPortOfTheAddress)
{
    ReplyOutcome outcome = Handle(Reply(1040, 16), "127.0.0.2", 8000);
    EXPECT_EQ(outcome.verdict, ReplyVerdict::kAccepted);
    EXPECT_EQ(outcome.dwRtt, 60u);
    EXPECT_EQ(Find("127.0.0.2", 8000).dwRTT, 60u);
    EXPECT_EQ(Find("127.0.0.2", 9000).dwRTT, 60u) << "a short reply does not compare ports";
    EXPECT_EQ(Find("127.0.0.2", 9000).dwLoad, 100u);
    EXPECT_EQ(Find("127.0.0.3", 8000).dwRTT, 5000u);
    EXPECT_EQ(Find("127.000.0.3", 8000).dwRTT, 5000u);
}

TEST_F(ReplyHandling, LongReplyNeedsAddressAndPortAndCarriesTheLoad)
{
    Handle(Reply(1050, 20, {0, 0, 0, 5}), "127.0.0.2", 9000);
    EXPECT_EQ(Find("127.0.0.2", 9000).dwRTT, 50u);
    EXPECT_EQ(Find("127.0.0.2", 9000).dwLoad, 5u);
    EXPECT_EQ(Find("127.0.0.2", 8000).dwRTT, 5000u);

    Handle(Reply(1050, 20, {0, 0, 0, 0}), "127.0.0.2", 8000);
    EXPECT_EQ(Find("127.0.0.2", 8000).dwLoad, 1u) << "a reported 0 counts as 1";

    Handle(Reply(1050, 17, {5}), "127.0.0.3", 8000);
    EXPECT_EQ(Find("127.0.0.3", 8000).dwLoad, 83886080u) << "missing load bytes read as zero";

    std::vector<uint8_t> oversized = Reply(1090, 65507, {0, 0, 1, 0});
    EXPECT_EQ(Handle(oversized, "127.0.0.3", 8000).verdict, ReplyVerdict::kAccepted);
    EXPECT_EQ(Find("127.0.0.3", 8000).dwLoad, 256u);
    EXPECT_EQ(Find("127.0.0.3", 8000).dwRTT, 10u);
}

TEST_F(ReplyHandling, MalformedRepliesChangeNothing)
{
    EXPECT_EQ(Handle(Reply(1040, 15), "127.0.0.2", 8000).verdict, ReplyVerdict::kTooShort);
    EXPECT_EQ(Handle({}, "127.0.0.2", 8000).verdict, ReplyVerdict::kTooShort);
    EXPECT_EQ(Handle(Reply(1040, 16, {}, 3), "127.0.0.2", 8000).verdict, ReplyVerdict::kDropped);
    EXPECT_EQ(Handle(Reply(0, 16), "127.0.0.2", 8000).verdict, ReplyVerdict::kDropped);
    EXPECT_EQ(Find("127.0.0.2", 8000).dwRTT, 5000u);
}

TEST_F(ReplyHandling, TicksOutsideTheDetectionAreDropped)
{
    // Before the start: a stale reply of an earlier detection, or a forged one.
    EXPECT_EQ(Handle(Reply(999, 16), "127.0.0.2", 8000).verdict, ReplyVerdict::kDropped);
    // After the arrival: no request of ours carried it; it would read as a huge time.
    EXPECT_EQ(Handle(Reply(1101, 16), "127.0.0.2", 8000).verdict, ReplyVerdict::kDropped);
    EXPECT_EQ(Find("127.0.0.2", 8000).dwRTT, 5000u);
    // Both ends belong to the detection: a reply within the same millisecond reads 0.
    EXPECT_EQ(Handle(Reply(1100, 16), "127.0.0.2", 8000).dwRtt, 0u);
    EXPECT_EQ(Handle(Reply(kStart, 16), "127.0.0.2", 8000).dwRtt, 100u);
}

TEST_F(ReplyHandling, RoundTripSurvivesAWrapOfTheTick)
{
    uint32_t start = 0xFFFFFFE0u;
    std::vector<uint8_t> data = Reply(0xFFFFFFF0u, 16);
    ReplyOutcome outcome = HandleReply(candidates, data.data(), 16, "127.0.0.3", 8000, start, 0x00000010u);
    EXPECT_EQ(outcome.verdict, ReplyVerdict::kAccepted);
    EXPECT_EQ(outcome.dwRtt, 32u);
    EXPECT_EQ(Find("127.0.0.3", 8000).dwRTT, 32u);
}

TEST_F(ReplyHandling, ReplyFromAStrangerIsAcceptedButChangesNoCandidate)
{
    EXPECT_EQ(Handle(Reply(1040, 20, {0, 0, 0, 9}), "127.0.0.9", 8000).verdict, ReplyVerdict::kAccepted);
    candidates.Walk([](const IPInfo& info) {
        EXPECT_EQ(info.dwRTT, 5000u);
        EXPECT_EQ(info.dwLoad, 100u);
    });
}

}  // namespace

namespace {

TEST(ReplyQueue, OldestFirstAcrossTheEndOfItsStorage)
{
    ReplyQueue queue;
    EXPECT_TRUE(queue.Full()) << "no room before storage is reserved";
    ASSERT_TRUE(queue.Reserve(3));
    uint32_t pushed = 0, popped = 0;
    for (int round = 0; round < 5; ++round) {
        while (!queue.Full())
            queue.Push().dwArrivalTick = ++pushed;
        EXPECT_EQ(queue.Pop().dwArrivalTick, ++popped);
        EXPECT_EQ(queue.Pop().dwArrivalTick, ++popped);
    }
    queue.Clear();
    EXPECT_TRUE(queue.Empty());
    queue.Push().dwArrivalTick = 99;
    ASSERT_TRUE(queue.Reserve(8)) << "a new size drops what was queued";
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(queue.Capacity(), 8u);
    queue.Release();
    EXPECT_EQ(queue.Capacity(), 0u);
}

}  // namespace
