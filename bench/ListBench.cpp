#include "ListBench.h"

#include <string.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "BenchTable.h"
#include "CandidateList.h"
#include "ListScenario.h"
#include "LiteralCandidates.h"
#include "ProbeProtocol.h"
#include "Random.h"

namespace {

using Clock = std::chrono::steady_clock;

// What reading the clock twice costs (under Wine a reading is a call into the
// system, longer than several replies at n=64), taken out of every measured span.
double ClockCost()
{
    static const double cost = [] {
        double best = 1;
        for (int i = 0; i < 1000; ++i) {
            Clock::time_point a = Clock::now();
            Clock::time_point b = Clock::now();
            best = std::min(best, std::chrono::duration<double>(b - a).count());
        }
        return best;
    }();
    return cost;
}

double Since(Clock::time_point start)
{
    return std::max(0.0, std::chrono::duration<double>(Clock::now() - start).count() - ClockCost());
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Timings {
    double fill = 0;
    double match = 0;
    double sort = 0;
    double Total() const { return fill + match + sort; }
};

struct Run {
    Timings timings;
    std::vector<IPInfo> filled;
    std::vector<IPInfo> sorted;
    int32_t drawAfterFill = 0;  // the generator must stand at the same place in both
};

std::vector<IPInfo> Snapshot(const CandidateList& list)
{
    std::vector<IPInfo> items;
    list.Walk([&](const IPInfo& info) { items.push_back(info); });
    return items;
}

// Every candidate was sent one request at the start, which the replies echo.
void MatchAll(CandidateList& list, const ListScenario& scenario)
{
    list.WalkProbeStates([](const IPInfo&, ProbeState& state) { state.NoteRequest(ListScenario::kStartTick); });
    for (const ScenarioReply& reply : scenario.replies) {
        uint8_t source[4];
        if (ScenarioSource(reply, source))
            JudgeReply(list, reply.data, reply.length, source, reply.port, ListScenario::kStartTick,
                       reply.arrivalTick);
    }
}

Run RunModule(const ListScenario& scenario, uint32_t seed)
{
    Run run;
    CandidateList list;
    SeedRandom(seed);
    Clock::time_point start = Clock::now();
    for (const ServerInfo& server : scenario.servers)
        list.InsertServer(server);
    run.timings.fill = Since(start);
    run.drawAfterFill = DrawRandom();
    run.filled = Snapshot(list);
    start = Clock::now();
    MatchAll(list, scenario);
    run.timings.match = Since(start);
    start = Clock::now();
    list.Sort();
    run.timings.sort = Since(start);
    run.sorted = Snapshot(list);
    return run;
}

Run RunLiteral(const ListScenario& scenario, uint32_t seed)
{
    Run run;
    LiteralCandidates list;
    SeedRandom(seed);
    Clock::time_point start = Clock::now();
    for (const ServerInfo& server : scenario.servers)
        list.InsertServer(server);
    run.timings.fill = Since(start);
    run.drawAfterFill = DrawRandom();
    run.filled = list.Items();
    start = Clock::now();
    uint32_t rtt;
    for (const ScenarioReply& reply : scenario.replies)
        list.HandleReply(reply.data, reply.length, reply.source, reply.port, ListScenario::kStartTick,
                         reply.arrivalTick, &rtt);
    run.timings.match = Since(start);
    start = Clock::now();
    list.Sort();
    run.timings.sort = Since(start);
    run.sorted = list.Items();
    return run;
}

bool SameRecords(const std::vector<IPInfo>& a, const std::vector<IPInfo>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (strcmp(a[i].szIP, b[i].szIP) != 0 || a[i].ushPort != b[i].ushPort || a[i].dwRTT != b[i].dwRTT ||
            a[i].dwLoad != b[i].dwLoad)
            return false;
    }
    return true;
}

std::string Breakdown(const Timings& t)
{
    return FormatSeconds(t.Total()) + " (fill " + FormatSeconds(t.fill) + ", match " + FormatSeconds(t.match) +
           ", sort " + FormatSeconds(t.sort) + ")";
}

}  // namespace

void RunListBench(const char* where, bool quick, uint32_t largest)
{
    struct Size {
        uint32_t n;
        uint32_t seeds;
    };
    const Size sizes[] = {{64, quick ? 10u : 100u}, {1024, quick ? 10u : 100u}, {16384, quick ? 1u : 5u},
                          {65535, quick ? 1u : 3u}};
    const std::string part = std::string("lists, ") + where;
    double perReplyAt64 = 0;
    for (const Size& size : sizes) {
        if (size.n > largest)
            break;
        std::vector<double> moduleFill, moduleMatch, moduleSort, literalFill, literalMatch, literalSort;
        uint32_t sameOrder = 0;
        size_t replies = 0;
        for (uint32_t seed = 1; seed <= size.seeds; ++seed) {
            ListScenario scenario = MakeScenario(size.n, seed);
            Run module = RunModule(scenario, seed);
            Run literal = RunLiteral(scenario, seed);
            replies = scenario.replies.size();
            if (SameRecords(module.filled, literal.filled) && SameRecords(module.sorted, literal.sorted) &&
                module.drawAfterFill == literal.drawAfterFill)
                ++sameOrder;
            moduleFill.push_back(module.timings.fill);
            moduleMatch.push_back(module.timings.match);
            moduleSort.push_back(module.timings.sort);
            literalFill.push_back(literal.timings.fill);
            literalMatch.push_back(literal.timings.match);
            literalSort.push_back(literal.timings.sort);
        }
        Timings module{Median(moduleFill), Median(moduleMatch), Median(moduleSort)};
        Timings literal{Median(literalFill), Median(literalMatch), Median(literalSort)};
        double speedUp = literal.Total() / module.Total();
        bool largest = size.n == 65535;
        std::string n = Format("n=%u", size.n);

        PrintRow(part, n + ": fill + match + sort, median of " + Format("%u", size.seeds) + " seeds",
                 Breakdown(module), Breakdown(literal), largest ? "at least 50x faster" : "",
                 Format("%.1fx faster%s", speedUp, largest ? (speedUp >= 50 ? ", met" : ", NOT met") : ""));

        // As a detection meets them: one reply per candidate right after filling.
        double modulePerReply = module.match / (double)replies;
        double literalPerReply = literal.match / (double)replies;
        if (size.n == 64)
            perReplyAt64 = modulePerReply;
        double growth = modulePerReply / perReplyAt64;
        PrintRow(part, n + ": matching, per reply (median of the seeds)", FormatSeconds(modulePerReply), FormatSeconds(literalPerReply),
                 largest ? "at most 2x the cost at n=64" : "",
                 Format("%.2fx the cost at n=64%s", growth, largest ? (growth <= 2 ? ", met" : ", NOT met") : ""));

        PrintRow(part, n + ": same order and draws as the literal algorithms", Format("%u of %u seeds", sameOrder, size.seeds),
                 "", "every seed", sameOrder == size.seeds ? "met" : "NOT met");
    }
}
