// The one place where the benchmark of choosing meets lrdprobe's new ranking
// (expected time to get an answer: median round-trip time plus loss share times
// the retry time, at least 1 ms, times the load). Until lrdprobe exposes that
// rule as a platform-free function, the body computes it as it was decided;
// then the body becomes a call to lrdprobe's function, and nothing else changes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "LiteralProbeRanking.h"

// Server indexes best first, from the same tallies as the literal rule; `rounds`
// is the number of rounds, `retryMs` the time a round waits for an answer.
std::vector<size_t> RankByNewRule(const std::vector<LiteralProbeTally>& tallies, uint32_t rounds, uint32_t retryMs,
                                  const std::vector<size_t>& firstOrder);
