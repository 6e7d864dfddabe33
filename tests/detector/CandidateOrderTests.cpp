// The candidate list against the literal algorithms it replaces (a linked list
// walked from the front, reversed node by node, every candidate compared with
// every reply): for many seeds and sizes the same order after every placement,
// the same values after every reply and the same order after every sort.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "CandidateList.h"
#include "ListScenario.h"
#include "LiteralCandidates.h"
#include "ProbeProtocol.h"
#include "Random.h"
#include "Tick.h"

namespace {

std::vector<IPInfo> Records(const CandidateList& list)
{
    std::vector<IPInfo> records;
    list.Walk([&](const IPInfo& info) { records.push_back(info); });
    return records;
}

::testing::AssertionResult Same(const std::vector<IPInfo>& module, const std::vector<IPInfo>& literal)
{
    if (module.size() != literal.size())
        return ::testing::AssertionFailure() << module.size() << " candidates, literal " << literal.size();
    for (size_t i = 0; i < module.size(); ++i) {
        const IPInfo& a = module[i];
        const IPInfo& b = literal[i];
        if (strcmp(a.szIP, b.szIP) != 0 || a.ushPort != b.ushPort || a.dwRTT != b.dwRTT || a.dwLoad != b.dwLoad)
            return ::testing::AssertionFailure()
                   << "position " << i << ": " << a.szIP << ":" << a.ushPort << " rtt " << a.dwRTT << " load "
                   << a.dwLoad << ", literal " << b.szIP << ":" << b.ushPort << " rtt " << b.dwRTT << " load "
                   << b.dwLoad;
    }
    return ::testing::AssertionSuccess();
}

// Replies with texts that no datagram's source has, as a caller could still pass
// them: the servers' texts with leading zeros, the empty text of the candidates
// whose address did not fit, and letters. They must match as the literal
// comparison matches them.
std::vector<ScenarioReply> RepliesFromOddTexts(const ListScenario& scenario)
{
    std::vector<ScenarioReply> replies;
    ScenarioReply reply = scenario.replies[0];
    for (size_t i = 0; i < scenario.servers.size(); ++i) {
        const ServerInfo& server = scenario.servers[i];
        if (strlen(server.szAddr) < 16 && server.szAddr[0] == '0') {
            strcpy(reply.source, server.szAddr);
            reply.port = server.ushPort;
            reply.length = i % 3 == 0 ? 20 : 16;
            replies.push_back(reply);
        }
    }
    for (const char* text : {"", "Ab.cD", "0.0.0.0"}) {
        strcpy(reply.source, text);
        reply.length = 16;
        replies.push_back(reply);
    }
    return replies;
}

// Fills a list from the scenario's servers with the generator at seed, keeping
// the order after every placement when asked to.
template <class List>
std::vector<std::vector<IPInfo>> Fill(List& list, const ListScenario& scenario, uint32_t seed, bool everyStep,
                                      const std::function<std::vector<IPInfo>(const List&)>& records,
                                      int32_t* drawAfter)
{
    std::vector<std::vector<IPInfo>> steps;
    SeedRandom(seed);
    for (const ServerInfo& server : scenario.servers) {
        list.InsertServer(server);
        if (everyStep)
            steps.push_back(records(list));
    }
    steps.push_back(records(list));
    *drawAfter = DrawRandom();
    return steps;
}

void CompareWithLiteral(uint32_t n, uint32_t seed, bool everyStep)
{
    SCOPED_TRACE("n " + std::to_string(n) + ", seed " + std::to_string(seed));
    ListScenario scenario = MakeScenario(n, seed);
    CandidateList module;
    LiteralCandidates literal;
    int32_t moduleDraw = 0, literalDraw = 0;
    auto moduleSteps = Fill<CandidateList>(module, scenario, seed, everyStep, Records, &moduleDraw);
    auto literalSteps = Fill<LiteralCandidates>(
        literal, scenario, seed, everyStep, [](const LiteralCandidates& l) { return l.Items(); }, &literalDraw);
    ASSERT_EQ(moduleSteps.size(), literalSteps.size());
    for (size_t step = 0; step < moduleSteps.size(); ++step)
        ASSERT_TRUE(Same(moduleSteps[step], literalSteps[step])) << "after placement " << step + 1;
    EXPECT_EQ(moduleDraw, literalDraw) << "the same draws were spent";

    // Replies in three parts, with a sort after each: sorting a reversed list, a
    // sorted one, and one changed by replies since.
    // Every candidate was sent one request at the start, which the replies echo.
    module.WalkProbeStates([](const IPInfo&, ProbeState& state) { state.NoteRequest(ListScenario::kStartTick); });
    std::vector<ScenarioReply> replies = scenario.replies;
    std::vector<ScenarioReply> odd = RepliesFromOddTexts(scenario);
    replies.insert(replies.begin() + replies.size() / 2, odd.begin(), odd.end());
    size_t part = replies.size() / 3 + 1;
    for (size_t begin = 0; begin < replies.size(); begin += part) {
        for (size_t i = begin; i < std::min(replies.size(), begin + part); ++i) {
            const ScenarioReply& r = replies[i];
            // A datagram comes from an address: text that is none can only
            // stand in a candidate, which no reply then matches.
            uint8_t source[4];
            if (!ScenarioSource(r, source))
                continue;
            uint32_t rtt = 0;
            ReplyOutcome outcome =
                JudgeReply(module, r.data, r.length, source, r.port, ListScenario::kStartTick, r.arrivalTick);
            bool accepted = literal.HandleReply(r.data, r.length, r.source, r.port, ListScenario::kStartTick,
                                                r.arrivalTick, &rtt);
            // The literal algorithm also accepts what no request went to (and
            // changes nothing with it); the module drops it.
            ASSERT_TRUE(outcome.verdict != ReplyVerdict::kAccepted || accepted);
            if (outcome.verdict == ReplyVerdict::kAccepted) {
                ASSERT_EQ(outcome.dwRtt, rtt);
            }
        }
        ASSERT_TRUE(Same(Records(module), literal.Items())) << "after reply " << std::min(replies.size(), begin + part);
        module.Sort();
        literal.Sort();
        ASSERT_TRUE(Same(Records(module), literal.Items())) << "sorted after reply "
                                                            << std::min(replies.size(), begin + part);
    }
}

TEST(CandidateOrder, EveryPlacementAndReplyAsTheLiteralAlgorithms)
{
    for (uint32_t n = 1; n <= 40; ++n)
        for (uint32_t seed = 1; seed <= 8; ++seed)
            CompareWithLiteral(n, seed * 7919 + n, true);
}

TEST(CandidateOrder, LargerListsEndInTheLiteralOrder)
{
    for (uint32_t n : {100u, 257u, 1000u})
        for (uint32_t seed = 1; seed <= 6; ++seed)
            CompareWithLiteral(n, seed, false);
    CompareWithLiteral(5000, 99, false);
}

TEST(CandidateOrder, CanonicalAddressTexts)
{
    uint32_t value = 0;
    for (uint32_t sample : {0u, 1u, 0x7F000001u, 0x0A000100u, 0xC0A8FF0Au, 0xFFFFFFFFu, 0x01020304u}) {
        uint8_t bytes[4] = {(uint8_t)(sample >> 24), (uint8_t)(sample >> 16), (uint8_t)(sample >> 8), (uint8_t)sample};
        char text[16];
        FormatIPv4(bytes, text);
        EXPECT_TRUE(ParseCanonicalIPv4(text, &value)) << text;
        EXPECT_EQ(value, sample) << text;
    }
    for (const char* odd : {"", "1.2.3", "1.2.3.4.", "1.2.3.4.5", "01.2.3.4", "1.2.3.00", "256.1.1.1", "1..2.3",
                            " 1.2.3.4", "1.2.3.4 ", "1.2.3.a", "1234.1.1.1", "a.b.c.d", "1.2.3.-4"})
        EXPECT_FALSE(ParseCanonicalIPv4(odd, &value)) << '"' << odd << '"';
    // Sixteen bytes without a terminator are not read past.
    char unterminated[17] = "1111111111111111";
    EXPECT_FALSE(ParseCanonicalIPv4(unterminated, &value));
}

TEST(CandidateOrder, RepliesFindAddressesChangedByAVisitor)
{
    CandidateList list;
    IPInfo info = {};
    strcpy(info.szIP, "10.0.0.1");
    info.ushPort = 7;
    info.dwRTT = 5000;
    info.dwLoad = 100;
    ASSERT_TRUE(list.InsertRandom(info));
    list.WalkProbeStates([](const IPInfo&, ProbeState& state) { state.NoteRequest(5); });
    EchoedRequest echoed;
    ASSERT_TRUE(list.FindRequest(0x0A000001u, 7, ServerTick(0, 5), echoed));
    list.Modify([](IPInfo& candidate) { strcpy(candidate.szIP, "10.0.0.2"); });
    EXPECT_FALSE(list.FindRequest(0x0A000001u, 7, ServerTick(0, 5), echoed)) << "the old address no longer matches";
    ASSERT_TRUE(list.FindRequest(0x0A000002u, 7, ServerTick(0, 5), echoed));
    list.TakeReplyValues(echoed, 4, nullptr);
    EXPECT_EQ(Records(list)[0].dwRTT, 4u);
    EXPECT_EQ(Records(list)[0].dwLoad, 100u);
}

}  // namespace
