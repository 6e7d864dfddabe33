#include "NewRankingRule.h"

#include <algorithm>

namespace {

constexpr double kFloorMs = 1;

double Median(std::vector<uint32_t> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + (double)values[n / 2]) / 2;
}

}  // namespace

std::vector<size_t> RankByNewRule(const std::vector<LiteralProbeTally>& tallies, uint32_t rounds, uint32_t retryMs,
                                  const std::vector<size_t>& firstOrder)
{
    struct Row {
        size_t index;
        bool answered;
        double score;
        uint32_t load;
    };
    std::vector<Row> rows;
    for (size_t i : firstOrder) {
        const LiteralProbeTally& t = tallies[i];
        Row row{i, !t.rtts.empty(), 0, t.load};
        if (row.answered) {
            double loss = 1 - (double)t.rtts.size() / rounds;
            row.score = std::max(kFloorMs, Median(t.rtts) + loss * retryMs) * t.load;
        }
        rows.push_back(row);
    }
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        if (a.answered != b.answered)
            return a.answered;
        if (a.score != b.score)
            return a.score < b.score;
        return a.load < b.load;
    });
    std::vector<size_t> ranked;
    for (const Row& row : rows)
        ranked.push_back(row.index);
    return ranked;
}
