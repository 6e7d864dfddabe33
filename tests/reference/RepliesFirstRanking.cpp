#include "RepliesFirstRanking.h"

#include <algorithm>

namespace {

struct Figures {
    uint32_t replies = 0;
    uint64_t score = 0;
    uint32_t load = 0;
};

Figures Measure(const lrdprobe::ServerRounds& server)
{
    std::vector<uint32_t> times;
    for (uint32_t sample : server.samples)
        if (sample != lrdprobe::kLost)
            times.push_back(sample);
    Figures figures;
    figures.replies = uint32_t(times.size());
    if (times.empty())
        return figures;
    std::sort(times.begin(), times.end());
    size_t n = times.size();
    uint32_t median = n % 2 == 1 ? times[n / 2] : uint32_t(((uint64_t)times[n / 2 - 1] + times[n / 2]) / 2);
    figures.load = server.load;
    figures.score = (uint64_t)median * server.load;
    return figures;
}

}  // namespace

std::vector<size_t> RankRepliesFirst(const std::vector<lrdprobe::ServerRounds>& servers)
{
    std::vector<Figures> figures;
    for (const lrdprobe::ServerRounds& server : servers)
        figures.push_back(Measure(server));
    std::vector<size_t> order(servers.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const Figures& x = figures[a];
        const Figures& y = figures[b];
        if (x.replies != y.replies)
            return x.replies > y.replies;
        if (x.replies == 0)
            return false;
        if (x.score != y.score)
            return x.score < y.score;
        return x.load < y.load;
    });
    return order;
}
