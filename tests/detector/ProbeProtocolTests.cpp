// The wire format and the verdict on one datagram.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <vector>

#include "ProbeProtocol.h"
#include "ProbeExchange.h"
#include "Tick.h"

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

// Every candidate was sent one request at kStart, carrying its own server tick.
class ReplyHandling : public ::testing::Test {
protected:
    // Candidates are filled in a known order: no random placement is involved.
    void SetUp() override
    {
        for (const IPInfo& info : {Candidate("127.0.0.2", 8000), Candidate("127.0.0.2", 9000),
                                   Candidate("127.0.0.3", 8000), Candidate("127.000.0.3", 8000)})
            ASSERT_TRUE(candidates.InsertRandom(info));
        uint32_t origin = 0x9E3779B9u;
        candidates.WalkProbeStates([&](const IPInfo&, ProbeState& state) {
            state.dwOrigin = origin *= 0x01000193u;
            state.NoteRequest(kStart);
        });
    }

    // The server tick of the candidate's request, one of the re-probe sent at tick `at`.
    uint32_t Tick(const char* ip, uint16_t port, uint32_t at = 0)
    {
        uint32_t tick = 0;
        candidates.WalkProbeStates([&](const IPInfo& info, ProbeState& state) {
            if (strcmp(info.szIP, ip) != 0 || info.ushPort != port)
                return;
            if (at != 0)
                state.NoteRequest(at);
            tick = ServerTick(state.dwOrigin, at != 0 ? at : kStart);
        });
        return tick;
    }

    ReplyOutcome Handle(const std::vector<uint8_t>& data, const char* source, uint16_t port, uint32_t arrival = 1100)
    {
        uint8_t address[4];
        sscanf(source, "%hhu.%hhu.%hhu.%hhu", &address[0], &address[1], &address[2], &address[3]);
        return JudgeReply(candidates, data.data(), (int32_t)data.size(), address, port, kStart, arrival);
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

// A reply sets the candidate whose request it echoes and no other, even one of
// the same address; from another port of that address it still counts for its
// candidate.
TEST_F(ReplyHandling, EachReplySetsOnlyTheCandidateWhoseRequestItEchoes)
{
    const struct {
        const char* what;
        uint16_t echoing, from;
        size_t length;
        uint32_t rtt, load;
        uint16_t other;
        uint32_t otherRtt;
    } steps[] = {
        {"a short reply", 8000, 8000, 16, 60, 100, 9000, 5000},
        {"a long reply from another port", 9000, 8000, 20, 70, 5, 8000, 60},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        ReplyOutcome outcome =
            Handle(Reply(Tick("127.0.0.2", step.echoing), step.length, {0, 0, 0, 5}), "127.0.0.2", step.from,
                   kStart + step.rtt);
        EXPECT_EQ(outcome.verdict, ReplyVerdict::kAccepted);
        EXPECT_TRUE(outcome.bReport);
        EXPECT_EQ(outcome.pRecord->ushPort, step.echoing);
        EXPECT_EQ(Find("127.0.0.2", step.echoing).dwRTT, step.rtt);
        EXPECT_EQ(Find("127.0.0.2", step.echoing).dwLoad, step.load);
        EXPECT_EQ(Find("127.0.0.2", step.other).dwRTT, step.otherRtt) << "the other port of the address";
    }
    EXPECT_EQ(Find("127.0.0.2", 8000).dwLoad, 100u) << "the long reply set no other candidate's load";
    EXPECT_EQ(Find("127.0.0.3", 8000).dwRTT, 5000u);
    EXPECT_EQ(Find("127.000.0.3", 8000).dwRTT, 5000u);

    Handle(Reply(Tick("127.0.0.3", 8000), 20, {0, 0, 0, 0}), "127.0.0.3", 8000);
    EXPECT_EQ(Find("127.0.0.3", 8000).dwLoad, 1u) << "a reported 0 counts as 1";
}

// A datagram read from its first 20 bytes, and one whose load bytes are cut short.
TEST_F(ReplyHandling, LoadFromTheFirstBytesOfAnyLongReply)
{
    // The server asked again answers the second request first; the first
    // request's reply, late, replaces it.
    std::vector<uint8_t> oversized = Reply(Tick("127.0.0.3", 8000, 1080), 65507, {0, 0, 1, 0});
    EXPECT_EQ(Handle(oversized, "127.0.0.3", 8000, 1090).verdict, ReplyVerdict::kAccepted);
    EXPECT_EQ(Find("127.0.0.3", 8000).dwLoad, 256u);
    EXPECT_EQ(Find("127.0.0.3", 8000).dwRTT, 10u);
    Handle(Reply(Tick("127.0.0.3", 8000), 17, {5}), "127.0.0.3", 8000);
    EXPECT_EQ(Find("127.0.0.3", 8000).dwLoad, 83886080u) << "missing load bytes read as zero";
    EXPECT_EQ(Find("127.0.0.3", 8000).dwRTT, 100u);
}

// A server listed many times gets a request per entry, each with its own tick:
// every reply is reported and sets its own entry.
TEST(RepeatedServer, EveryEntryTakesItsOwnReply)
{
    const uint32_t kEntries = 20000, kStart = 1000;
    CandidateList candidates;
    for (uint32_t i = 0; i < kEntries; ++i)
        ASSERT_TRUE(candidates.InsertRandom(Candidate("127.0.0.2", 8000)));
    std::vector<uint32_t> ticks;
    uint32_t origin = 1;
    candidates.WalkProbeStates([&](const IPInfo&, ProbeState& state) {
        state.dwOrigin = origin *= 0x01000193u;
        state.NoteRequest(kStart);
        ticks.push_back(ServerTick(state.dwOrigin, kStart));
    });
    const uint8_t source[4] = {127, 0, 0, 2};
    uint32_t reported = 0;
    for (uint32_t i = 0; i < kEntries; ++i) {
        std::vector<uint8_t> data = Reply(ticks[i], 16);
        ReplyOutcome outcome = JudgeReply(candidates, data.data(), 16, source, 8000, kStart, kStart + 1 + i % 4000);
        reported += outcome.verdict == ReplyVerdict::kAccepted && outcome.bReport;
    }
    EXPECT_EQ(reported, kEntries);
    uint32_t i = 0;
    candidates.Walk([&](const IPInfo& info) { EXPECT_EQ(info.dwRTT, 1 + i++ % 4000) << "entry " << i; });
}

TEST_F(ReplyHandling, MalformedRepliesChangeNothing)
{
    const uint32_t tick = Tick("127.0.0.2", 8000);
    EXPECT_EQ(Handle(Reply(tick, 15), "127.0.0.2", 8000).verdict, ReplyVerdict::kTooShort);
    EXPECT_EQ(Handle({}, "127.0.0.2", 8000).verdict, ReplyVerdict::kTooShort);
    EXPECT_EQ(Handle(Reply(tick, 16, {}, 3), "127.0.0.2", 8000).verdict, ReplyVerdict::kDropped);
    EXPECT_EQ(Handle(Reply(0, 16), "127.0.0.2", 8000).verdict, ReplyVerdict::kDropped);
    EXPECT_EQ(Find("127.0.0.2", 8000).dwRTT, 5000u);
}

// Only the exact tick a request carried to the reply's address counts: a liar's
// later tick, a stale one, another server's, and any tick from an address that
// no request went to are dropped, whatever they would have set.
TEST_F(ReplyHandling, OnlyTheExactEchoOfARequestToTheSourceCounts)
{
    const uint32_t own = Tick("127.0.0.2", 9000);
    const struct {
        const char* what;
        uint32_t tick;
        const char* source;
        uint16_t port;
    } dropped[] = {
        {"a liar's tick, 40 ms later", own + 40, "127.0.0.2", 9000},
        {"a tick one earlier", own - 1, "127.0.0.2", 9000},
        {"the detector's own tick", kStart, "127.0.0.2", 9000},
        {"another server's tick", Tick("127.0.0.3", 8000), "127.0.0.2", 9000},
        {"the right tick from another address", own, "127.0.0.4", 9000},
        {"from a stranger", own, "127.0.0.9", 8000},
        {"a candidate whose text is not canonical", Tick("127.000.0.3", 8000), "127.0.0.3", 8000},
    };
    for (const auto& c : dropped) {
        SCOPED_TRACE(c.what);
        ReplyOutcome outcome = Handle(Reply(c.tick, 20, {0, 0, 0, 1}), c.source, c.port);
        EXPECT_EQ(outcome.verdict, ReplyVerdict::kUnsent);
        EXPECT_FALSE(outcome.bReport);
    }
    candidates.Walk([](const IPInfo& info) {
        EXPECT_EQ(info.dwRTT, 5000u) << info.szIP;
        EXPECT_EQ(info.dwLoad, 100u) << info.szIP;
    });
    EXPECT_EQ(Handle(Reply(own, 16), "127.0.0.2", 9000, 1030).dwRtt, 30u);
}

// Replies to one server's requests: the sink hears the first reply to each
// request, with that request's time; a copy changes nothing; the reply to the
// earliest answered request sets the values, even when it comes after a later
// one's.
TEST_F(ReplyHandling, FirstReplyPerRequestAndEarlierRequestsFirst)
{
    const uint32_t first = Tick("127.0.0.2", 9000);
    const uint32_t second = Tick("127.0.0.2", 9000, 1100);
    const uint32_t third = Tick("127.0.0.2", 9000, 1135);
    const struct {
        uint32_t tick;
        uint32_t arrival;
        uint8_t load;
        ReplyVerdict verdict;
        uint32_t rtt, load_after;
        bool report;
    } steps[] = {
        {second, 1110, 7, ReplyVerdict::kAccepted, 10, 7, true},
        {second, 1111, 8, ReplyVerdict::kRepeat, 10, 7, false},   // a copy, forged or not
        {first, 1120, 9, ReplyVerdict::kAccepted, 120, 9, true},  // the first request's, late
        {first, 1121, 6, ReplyVerdict::kRepeat, 120, 9, false},
        {second, 1130, 5, ReplyVerdict::kRepeat, 120, 9, false},
        {third, 1140, 4, ReplyVerdict::kAccepted, 120, 9, true},  // a later round's: reported, replaces nothing
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.arrival);
        ReplyOutcome outcome = Handle(Reply(step.tick, 20, {0, 0, 0, step.load}), "127.0.0.2", 9000, step.arrival);
        EXPECT_EQ(outcome.verdict, step.verdict);
        EXPECT_EQ(outcome.bReport, step.report);
        EXPECT_EQ(Find("127.0.0.2", 9000).dwRTT, step.rtt);
        EXPECT_EQ(Find("127.0.0.2", 9000).dwLoad, step.load_after);
    }
    // Within the reporting window and from a port other than 0 only.
    EXPECT_FALSE(Handle(Reply(Tick("127.0.0.3", 8000), 16), "127.0.0.3", 8000, kStart + 5001).bReport);
    EXPECT_TRUE(Handle(Reply(Tick("127.0.0.2", 8000), 16), "127.0.0.2", 8000, kStart + 5000).bReport);
}

TEST_F(ReplyHandling, RoundTripSurvivesAWrapOfTheTick)
{
    // Both the detector's tick and the server's own count wrap between request and reply.
    CandidateList wrapped;
    ASSERT_TRUE(wrapped.InsertRandom(Candidate("127.0.0.3", 8000)));
    uint32_t tick = 0;
    wrapped.WalkProbeStates([&](const IPInfo&, ProbeState& state) {
        state.dwOrigin = 8;
        state.NoteRequest(0xFFFFFFF0u);
        tick = ServerTick(state.dwOrigin, 0xFFFFFFF0u);
    });
    EXPECT_EQ(tick, 0xFFFFFFF8u);
    std::vector<uint8_t> data = Reply(tick, 16);
    const uint8_t source[4] = {127, 0, 0, 3};
    ReplyOutcome outcome = JudgeReply(wrapped, data.data(), 16, source, 8000, 0xFFFFFFE0u, 0x00000010u);
    EXPECT_EQ(outcome.verdict, ReplyVerdict::kAccepted);
    EXPECT_EQ(outcome.dwRtt, 32u);
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
