// lrdprobe's ranking over several rounds: which server a client would get its
// answers from soonest, weighted by the servers' loads, and how sure the rounds
// make the first place. Plain data in, no platform header, so that the
// benchmark can rank the same way.
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

// How long a client waits before it asks again: twice the server's median, at
// least a tick, and never longer than a reply can count. In proportion to the
// server's own time, a loss share common to every server scales every score
// alike and never reorders the servers; a fixed part (a floor, or a term of the
// jitter in milliseconds) would add the same time to every server, which the
// load multiplies, and so favour the small loads.
constexpr double kRetryFactor = 2;
constexpr double kRetryMinMs = 1;
constexpr double kRetryCeilingMs = 5000;

// What the ranking knows of one server.
struct ServerRounds {
    std::vector<uint32_t> samples;  // one per round it was asked in: the round-trip time in ms, or kLost
    uint32_t load = kDefaultLoad;   // of the last round it answered
};

// The servers' loss shares as draws from one beta distribution, fitted to how
// far the shares of the servers that answered at least once spread: its mean is
// the pooled share, its weight (in rounds) how strongly one server's estimate
// leans on it. Shares that spread no more than chance spreads them give an
// infinite weight: every server then carries the pooled share.
struct LossPrior {
    double pooled = 0;    // rounds lost / rounds asked, over the servers that answered
    double weight = 0;    // alpha + beta of the beta distribution; infinity: pooled alone
    uint64_t lost = 0, asked = 0;
};
LossPrior FitLossPrior(const std::vector<ServerRounds>& servers);

// The expected time to an answer of a server that answers in `medianMs` and
// loses `loss` of the requests, for a client that asks again every `retryMs`
// until an answer comes.
double ExpectedMs(double medianMs, double retryMs, double loss);
// What ranks a server: max(1 ms, expected time) x load. The 1 ms floor keeps the
// load counting for servers that answer within the same millisecond.
double Score(double expectedMs, uint32_t load);

// The figures that rank one server.
struct Standing {
    uint32_t replies = 0;       // rounds answered
    uint32_t asked = 0;         // rounds asked in
    double medianMs = 0;        // median round-trip time of the rounds answered
    double lossShare = 0;       // rounds lost / rounds asked, as seen
    double lossEstimate = 0;    // the share taken for the score: the posterior mean under the LossPrior
    double retryMs = 0;         // when a client would ask again
    double expectedMs = 0;      // expected time to an answer
    double score = 0;
    bool Answered() const { return replies > 0; }
};

// One server's figures, given the prior of the losses:
//   lossEstimate = (rounds lost + weight x pooled) / (rounds asked + weight)
//   retryMs      = kRetryFactor x median, within [kRetryMinMs, kRetryCeilingMs]
//   expectedMs   = ExpectedMs(median, retryMs, lossEstimate)
//   score        = Score(expectedMs, load)
Standing Assess(const ServerRounds& server, const LossPrior& prior);

// Indexes of servers best first: servers that answered by the smaller score,
// then the smaller load, then the shorter expected time (below the 1 ms floor);
// servers that never answered last. Servers equal by these keep their order in
// the input.
std::vector<size_t> RankServers(const std::vector<ServerRounds>& servers);

// How much worse than the best a server may score and still be a right choice,
// as a share of the best score (--tolerance). Servers that are equally good are
// then told apart by nothing the rounds can show, and the confidence says that
// either is right rather than chasing their noise. The choosing benchmark's
// worlds with one best server put the runner-up 10 % or more behind it, so 5 %
// keeps them worlds of one right choice.
constexpr double kDefaultTolerance = 0.05;
constexpr double kMaxTolerance = 0.5;
// Whether a score is within the tolerance of the best one.
bool WithinTolerance(double score, double best, double tolerance);

// The probability that server `first` is within the tolerance of the best (the
// smallest score) given the rounds, from kConfidenceDraws draws of every
// server's figures from their posterior, with a fixed seed so that the same
// rounds give the same figure:
// - the true median round-trip time: the median plus a Student t draw (degrees
//   of freedom 4 + answers - 1, cut at 8) times sqrt(3) sigma / sqrt(answers)
//   (the spread of a median of uniformly spread times);
//   sigma^2 = (4 x pooled variance + the server's sum of squared deviations
//   from its mean) / (4 + answers - 1), at least 1 ms^2 (the tick), the pooled
//   variance being that of all servers' times about their own means, with
//   (10 ms)^2 counted twice so that a single round stays uncertain;
// - the loss share: beta(weight x pooled + lost, weight x (1 - pooled) +
//   answered) under the fitted LossPrior, or one share for all servers from
//   beta(lost + 1/2, answered + 1/2) over all of them when the weight is infinite;
// - the retry time from the drawn median, the load as seen.
// What lies beyond the cut of the t draws is counted against `first`: the
// chance that its own draw lies beyond it, and that a rival's lies so far below
// it as to beat `first`'s slowest draw. So no figure is 1, and one round (4
// degrees of freedom) allows at most 1 - 0.0007.
// Servers that never answered take no part in the draws; the share of draws is
// multiplied, for each of them, by 1 / (1 + E[p^n]), n its rounds, p the pooled
// loss share drawn from beta(lost + 1/2, answered + 1/2) of the servers that
// answered: the chance that it is not a living server (even odds before the
// rounds) that merely lost every round, and so might be the best. The result
// is -1 when `first` never answered.
// With `contending`, it also gives each server's chance of being within the
// tolerance of the best: its share of the draws (for `first`, the figure
// returned), or for a server that never answered the chance E[p^n] / (1 +
// E[p^n]) that it lives. Without it, the draws come a batch at a time and stop
// early when the figure is surely (by four standard errors) below
// kConfidenceBelow, the least goal of --confidence.
constexpr uint32_t kConfidenceDraws = 4000;
constexpr uint32_t kConfidenceBatch = 500;
constexpr double kConfidenceBelow = 0.5;
double Confidence(const std::vector<ServerRounds>& servers, size_t first, double tolerance = kDefaultTolerance,
                  std::vector<double>* contending = nullptr);

// Later rounds of --confidence leave out a server whose chance of being within
// the tolerance of the best is below this (successive elimination). With 4000
// draws it is 4 draws: a server that no draw puts near the best.
constexpr double kDropBelow = 0.001;

}  // namespace lrdprobe
