#include "SummaryBench.h"

#include <string.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "BenchTable.h"
#include "ProbeSummary.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kRounds = 3;

// n servers on the given number of addresses, every address with its ports 1,
// 2, ...: with few addresses the worst case for matching by address alone. Servers with an even index answer with a
// long reply; the result array lists them as the detector would, best first.
struct Round {
    std::vector<IPInfo> sorted;
    std::vector<lrdprobe::Reply> replies;
};

std::vector<lrdprobe::Server> MakeServers(uint32_t n, uint32_t addresses)
{
    std::vector<lrdprobe::Server> servers;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t a = i % addresses;
        servers.push_back(lrdprobe::Server{"10.0." + std::to_string(a / 256) + "." + std::to_string(a % 256),
                                           uint16_t(1 + i / addresses), {}});
    }
    return servers;
}

Round MakeRound(const std::vector<lrdprobe::Server>& servers, uint32_t round)
{
    Round made;
    for (uint32_t i = 0; i < servers.size(); ++i) {
        bool answers = (i + round) % 2 == 0;
        uint32_t rtt = (i * 7 + round) % 300;
        IPInfo info = {};
        memcpy(info.szIP, servers[i].address.c_str(), servers[i].address.size() + 1);
        info.dwRTT = answers ? rtt : 5000;
        info.dwLoad = answers ? 1 + i % 9 : 100;
        made.sorted.push_back(info);
        if (answers)
            made.replies.push_back(lrdprobe::Reply{servers[i].address, servers[i].port, rtt});
    }
    std::stable_sort(made.sorted.begin(), made.sorted.end(), [](const IPInfo& a, const IPInfo& b) {
        return (uint64_t)a.dwRTT * a.dwLoad < (uint64_t)b.dwRTT * b.dwLoad;
    });
    return made;
}

}  // namespace

void RunSummaryBench(const char* where, bool quick, uint32_t largest)
{
    const struct {
        uint32_t servers, addresses;
    } cases[] = {{1024, 256}, {16384, 256}, {65535, 256}, {65535, 65535}};
    std::string part = std::string("lrdprobe summary, ") + where;
    for (const auto& c : cases) {
        uint32_t n = c.servers;
        if (n > largest)
            continue;
        std::vector<lrdprobe::Server> servers = MakeServers(n, c.addresses);
        std::vector<Round> rounds;
        for (uint32_t r = 0; r < kRounds; ++r)
            rounds.push_back(MakeRound(servers, r));
        std::vector<double> times;
        size_t ranked = 0;
        for (int repeat = 0; repeat < (quick ? 3 : 9); ++repeat) {
            Clock::time_point start = Clock::now();
            lrdprobe::Summary summary(servers);
            for (const Round& round : rounds)
                summary.AddRound(round.sorted, round.replies);
            ranked = summary.Ranked().size();
            times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        }
        std::sort(times.begin(), times.end());
        double median = times[times.size() / 2];
        bool complete = ranked == n;
        PrintRow(part,
                 Format("n=%u on %u addresses, %u rounds: build, match every round, rank; median of %u", n,
                        c.addresses, kRounds, unsigned(times.size())),
                 FormatSeconds(median) + (complete ? "" : " (rows missing)"), "", n == 65535 ? "under 1 s" : "",
                 n == 65535 ? (median < 1 && complete ? "met" : "not met") : "");
    }
}
