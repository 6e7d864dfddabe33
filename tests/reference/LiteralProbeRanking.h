// lrdprobe's ranking over several rounds as it was first written
// (tools/lrdprobe/ProbeSummary.cpp before its ranking weighed loss against
// delay), its comparison, score and median as they were, so that the
// benchmark of choosing can set it beside the rule that replaced it: more rounds
// answered first; among servers that answered as many, the smaller score,
// median round-trip time in ms times the load of the last reply, then the
// smaller load; servers that never answered last. Equal servers keep their order
// of the first round.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

// One server over the rounds: the round-trip time of every round it answered,
// and the load of the last reply (100 when it sent none).
struct LiteralProbeTally {
    std::vector<uint32_t> rtts;
    uint32_t load = 0;
};

// Server indexes best first. `firstOrder` lists every index once, in the order
// of the first round.
std::vector<size_t> LiteralProbeRanking(const std::vector<LiteralProbeTally>& tallies,
                                        const std::vector<size_t>& firstOrder);
