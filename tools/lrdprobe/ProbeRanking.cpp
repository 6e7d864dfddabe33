#include "ProbeRanking.h"

#include <algorithm>
#include <cmath>

namespace lrdprobe {

namespace {

std::vector<double> Answers(const ServerRounds& server)
{
    std::vector<double> times;
    for (uint32_t sample : server.samples)
        if (sample != kLost)
            times.push_back(sample);
    std::sort(times.begin(), times.end());
    return times;
}

double Median(const std::vector<double>& sorted)
{
    size_t n = sorted.size();
    return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

}  // namespace

double PooledLoss(const std::vector<ServerRounds>& servers)
{
    uint64_t rounds = 0, lost = 0;
    for (const ServerRounds& server : servers) {
        uint64_t answered = std::count_if(server.samples.begin(), server.samples.end(),
                                          [](uint32_t sample) { return sample != kLost; });
        if (answered == 0)
            continue;
        rounds += server.samples.size();
        lost += server.samples.size() - answered;
    }
    return rounds == 0 ? 0 : double(lost) / double(rounds);
}

double Score(double expectedMs, uint32_t load) { return std::max(1.0, expectedMs) * double(load); }

Standing Assess(const ServerRounds& server, double pooledLoss)
{
    Standing standing;
    std::vector<double> times = Answers(server);
    standing.replies = uint32_t(times.size());
    if (times.empty())
        return standing;
    double rounds = double(server.samples.size());
    double lost = rounds - double(times.size());
    standing.medianMs = Median(times);
    standing.lossShare = lost / rounds;
    standing.lossEstimate = (lost + kPooledLossRounds * pooledLoss) / (rounds + kPooledLossRounds);
    double deviation = 0;
    for (double time : times)
        deviation += std::fabs(time - standing.medianMs);
    deviation /= double(times.size());
    standing.retryMs = std::min(std::max(standing.medianMs + 4 * deviation, kRetryFloorMs), kRetryCeilingMs);
    // The estimate stays below 1: a server that answered once has lost fewer
    // rounds than it was asked, and the pool counts only such servers.
    standing.expectedMs =
        standing.medianMs + standing.retryMs * standing.lossEstimate / (1 - standing.lossEstimate);
    standing.score = Score(standing.expectedMs, server.load);
    return standing;
}

std::vector<size_t> RankServers(const std::vector<ServerRounds>& servers)
{
    double pooled = PooledLoss(servers);
    std::vector<Standing> standings;
    standings.reserve(servers.size());
    for (const ServerRounds& server : servers)
        standings.push_back(Assess(server, pooled));
    std::vector<size_t> order(servers.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const Standing& x = standings[a];
        const Standing& y = standings[b];
        if (x.Answered() != y.Answered())
            return x.Answered();
        if (!x.Answered())
            return false;
        if (x.score != y.score)
            return x.score < y.score;
        if (servers[a].load != servers[b].load)
            return servers[a].load < servers[b].load;
        return x.expectedMs < y.expectedMs;
    });
    return order;
}

}  // namespace lrdprobe
