// lrdprobe's ranking over several rounds as first written, kept as the reference
// that the benchmark of choosing compares the expected-time ranking with: servers
// that answered more rounds first; among those that answered as many, the
// smaller product of the median round-trip time (whole ms: of an even count,
// the mean of the two middle times rounded down) and the load, then the smaller
// load; servers that never answered last; equal servers keep their input order.
#pragma once

#include <cstddef>
#include <vector>

#include "ProbeRanking.h"

std::vector<size_t> RankRepliesFirst(const std::vector<lrdprobe::ServerRounds>& servers);
