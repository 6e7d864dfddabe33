// lrdprobe's ranking over several rounds: which server a client would get its
// answers from soonest, weighted by the servers' loads. Plain data in, no
// platform header, so that the benchmark can rank the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lrdprobe {

// A round in which the server's own reply did not come (within the 5000 ms in
// which the detector reports replies).
constexpr uint32_t kLost = UINT32_MAX;

// The load of a server that answered without one, as the detector counts it.
constexpr uint32_t kDefaultLoad = 100;

// How long a client waits before it asks again: never less than this, and never
// longer than a reply can count.
constexpr double kRetryFloorMs = 100;
constexpr double kRetryCeilingMs = 5000;

// How many rounds the loss share seen over all servers counts for in a single
// server's loss estimate: with a few rounds, one lost reply says little about a
// server; over many, its own rounds decide.
constexpr double kPooledLossRounds = 10;

// What the ranking knows of one server.
struct ServerRounds {
    std::vector<uint32_t> samples;  // one per round: the round-trip time in ms, or kLost
    uint32_t load = kDefaultLoad;   // of the last round it answered
};

// What ranks a server: max(1 ms, expected time) x load. The 1 ms floor keeps the load
// counting for servers that answer within the same millisecond.
double Score(double expectedMs, uint32_t load);

// The figures that rank one server.
struct Standing {
    uint32_t replies = 0;       // rounds answered
    double medianMs = 0;        // median round-trip time of those rounds
    double lossShare = 0;       // rounds lost / rounds, as seen
    double lossEstimate = 0;    // the share taken for the score, see RankServers
    double retryMs = 0;         // when a client would ask again
    double expectedMs = 0;      // expected time to an answer
    double score = 0;           // max(1, expectedMs) x load
    bool Answered() const { return replies > 0; }
};

// The loss share over all rounds of the servers that answered at least once
// (0 when none did).
double PooledLoss(const std::vector<ServerRounds>& servers);

// One server's figures, given the pooled loss share:
//   lossEstimate = (rounds lost + kPooledLossRounds x pooled) / (rounds + kPooledLossRounds)
//   retryMs      = median + 4 x mean absolute deviation from the median, within
//                  [kRetryFloorMs, kRetryCeilingMs] (a retransmission timeout)
//   expectedMs   = median + retryMs x lossEstimate / (1 - lossEstimate), the
//                  expected time to an answer for a client that asks again every
//                  retryMs until one comes
//   score        = max(1, expectedMs) x load: the 1 ms floor keeps the load
//                  counting for servers that answer within the same millisecond
Standing Assess(const ServerRounds& server, double pooledLoss);

// Indexes of servers best first: servers that answered by the smaller score,
// then the smaller load, then the shorter expected time (below the 1 ms floor);
// servers that never answered last. Servers equal by
// these keep their order in the input.
std::vector<size_t> RankServers(const std::vector<ServerRounds>& servers);

}  // namespace lrdprobe
