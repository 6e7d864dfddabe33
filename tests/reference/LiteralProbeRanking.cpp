#include "LiteralProbeRanking.h"

#include <algorithm>

namespace {

struct Row {
    size_t index = 0;
    uint32_t replies = 0;
    uint32_t rttMedian = 0;
    uint32_t load = 0;
    bool Answered() const { return replies > 0; }
    uint64_t Score() const { return (uint64_t)rttMedian * load; }
};

uint32_t Median(std::vector<uint32_t> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    if (n % 2 == 1)
        return values[n / 2];
    return uint32_t(((uint64_t)values[n / 2 - 1] + values[n / 2]) / 2);
}

bool Better(const Row& a, const Row& b)
{
    if (a.replies != b.replies)
        return a.replies > b.replies;
    if (!a.Answered())
        return false;
    if (a.Score() != b.Score())
        return a.Score() < b.Score();
    return a.load < b.load;
}

}  // namespace

std::vector<size_t> LiteralProbeRanking(const std::vector<LiteralProbeTally>& tallies,
                                        const std::vector<size_t>& firstOrder)
{
    std::vector<Row> rows;
    for (size_t i : firstOrder) {
        Row row;
        row.index = i;
        const LiteralProbeTally& tally = tallies[i];
        row.replies = uint32_t(tally.rtts.size());
        if (row.Answered()) {
            row.rttMedian = Median(tally.rtts);
            row.load = tally.load;
        }
        rows.push_back(row);
    }
    std::stable_sort(rows.begin(), rows.end(), Better);
    std::vector<size_t> ranked;
    for (const Row& row : rows)
        ranked.push_back(row.index);
    return ranked;
}
