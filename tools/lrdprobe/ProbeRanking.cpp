#include "ProbeRanking.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

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

double RetryMs(double medianMs)
{
    return std::min(std::max(kRetryFactor * medianMs, kRetryMinMs), kRetryCeilingMs);
}

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The spread of the true round-trip time that a single round leaves open, and
// how many servers' worth of variance it counts for.
constexpr double kPriorSigmaMs = 10;
constexpr double kPriorSigmaWeight = 2;
// How many degrees of freedom the pooled variance counts for in one server's.
constexpr double kPooledSigmaWeight = 4;
// The tick: no spread is finer.
constexpr double kMinSigmaMs = 1;
// A Student t draw is cut here, so that a server's score has a floor that the
// draws can skip it by.
constexpr double kMaxT = 8;
// The standard error of a median against sigma / sqrt(n): 1.25 for normally
// spread times, sqrt(3) for uniformly spread ones, the widest of the usual
// shapes, which a confidence must not understate.
constexpr double kMedianSpread = 1.7321;
constexpr uint64_t kConfidenceSeed = 0x6c72647072;

// What the draws of one server need.
struct Posterior {
    size_t index;         // of the server
    double median, standardError, degrees;
    double lossA, lossB;  // of its own beta distribution; unused with a common share
    uint32_t load;
    double floor;         // no draw scores less
};

double BetaDraw(std::mt19937_64& random, double a, double b)
{
    if (a <= 0)
        return 0;
    double x = std::gamma_distribution<double>(a, 1)(random);
    double y = std::gamma_distribution<double>(b, 1)(random);
    return x + y > 0 ? x / (x + y) : 0;
}

// The 99th percentile of a chi-square distribution (Wilson and Hilferty's
// approximation, within 3 % from one degree of freedom up).
double ChiSquare99(double degrees)
{
    double a = 2 / (9 * degrees);
    double root = 1 - a + 2.3263 * std::sqrt(a);
    return degrees * root * root * root;
}

// The regularized incomplete beta function I_x(a, b), by its continued fraction
// (Lentz's method), on the side of x where it converges fast.
double IncompleteBeta(double x, double a, double b)
{
    if (x <= 0)
        return 0;
    if (x >= 1)
        return 1;
    if (x > (a + 1) / (a + b + 2))
        return 1 - IncompleteBeta(1 - x, b, a);
    const double tiny = 1e-300;
    double front = std::exp(std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) + a * std::log(x) +
                            b * std::log(1 - x)) / a;
    double f = 1, c = 1, dd = 0;
    for (int i = 0; i <= 300; ++i) {
        double m = double(i / 2), numerator;
        if (i == 0)
            numerator = 1;
        else if (i % 2 == 0)
            numerator = m * (b - m) * x / ((a + 2 * m - 1) * (a + 2 * m));
        else
            numerator = -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1));
        dd = 1 + numerator * dd;
        dd = 1 / (std::fabs(dd) < tiny ? tiny : dd);
        c = 1 + numerator / c;
        if (std::fabs(c) < tiny)
            c = tiny;
        f *= c * dd;
        if (std::fabs(1 - c * dd) < 1e-12)
            break;
    }
    return front * (f - 1);
}

// P(T > t) for Student's t with `degrees` degrees of freedom, t >= 0.
double StudentTail(double t, double degrees) { return 0.5 * IncompleteBeta(degrees / (degrees + t * t), degrees / 2, 0.5); }

}  // namespace

LossPrior FitLossPrior(const std::vector<ServerRounds>& servers)
{
    LossPrior prior;
    std::vector<std::pair<double, double>> counts;  // lost, asked
    for (const ServerRounds& server : servers) {
        uint64_t answered = uint64_t(std::count_if(server.samples.begin(), server.samples.end(),
                                                   [](uint32_t sample) { return sample != kLost; }));
        if (answered == 0)
            continue;
        counts.emplace_back(double(server.samples.size() - answered), double(server.samples.size()));
        prior.lost += server.samples.size() - answered;
        prior.asked += server.samples.size();
    }
    prior.weight = kInfinity;
    if (prior.asked == 0)
        return prior;
    double n = double(prior.asked), k = double(counts.size());
    prior.pooled = double(prior.lost) / n;
    if (prior.lost == 0 || counts.size() < 2)
        return prior;
    // The method of moments for a beta-binomial with unequal rounds: the
    // weighted spread of the shares about the pool, beyond what chance alone
    // gives, tells the correlation rho = 1 / (weight + 1) of one server's rounds.
    // Chance is taken at its 99th percentile rather than its mean: with a few
    // servers the spread itself is noisy, and a lucky server must not look
    // truly better.
    double spread = 0, squares = 0;
    for (const auto& c : counts) {
        double share = c.first / c.second;
        spread += c.second * (share - prior.pooled) * (share - prior.pooled);
        squares += c.second * c.second;
    }
    double chance = prior.pooled * (1 - prior.pooled);
    double room = n - squares / n - (k - 1);
    if (room <= 0)
        return prior;
    double rho = (spread / chance - ChiSquare99(k - 1)) / room;
    if (rho <= 0)
        return prior;
    prior.weight = rho >= 1 ? 0 : 1 / rho - 1;
    return prior;
}

double ExpectedMs(double medianMs, double retryMs, double loss)
{
    return medianMs + retryMs * loss / (1 - loss);
}

double Score(double expectedMs, uint32_t load) { return std::max(1.0, expectedMs) * double(load); }

Standing Assess(const ServerRounds& server, const LossPrior& prior)
{
    Standing standing;
    std::vector<double> times = Answers(server);
    standing.replies = uint32_t(times.size());
    standing.asked = uint32_t(server.samples.size());
    if (times.empty())
        return standing;
    double rounds = double(server.samples.size());
    double lost = rounds - double(times.size());
    standing.medianMs = Median(times);
    standing.lossShare = lost / rounds;
    standing.lossEstimate = std::isinf(prior.weight)
                                ? prior.pooled
                                : (lost + prior.weight * prior.pooled) / (rounds + prior.weight);
    standing.retryMs = RetryMs(standing.medianMs);
    // The estimate stays below 1: a server that answered once has lost fewer
    // rounds than it was asked, and the pool counts only such servers.
    standing.expectedMs = ExpectedMs(standing.medianMs, standing.retryMs, standing.lossEstimate);
    standing.score = Score(standing.expectedMs, server.load);
    return standing;
}

std::vector<size_t> RankServers(const std::vector<ServerRounds>& servers)
{
    LossPrior prior = FitLossPrior(servers);
    std::vector<Standing> standings;
    standings.reserve(servers.size());
    for (const ServerRounds& server : servers)
        standings.push_back(Assess(server, prior));
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

bool WithinTolerance(double score, double best, double tolerance) { return score <= (1 + tolerance) * best; }

double Confidence(const std::vector<ServerRounds>& servers, size_t first, double tolerance,
                  std::vector<double>* contending)
{
    LossPrior prior = FitLossPrior(servers);
    // The pooled variance of the times about each server's own mean.
    double squares = kPriorSigmaWeight * kPriorSigmaMs * kPriorSigmaMs, degrees = kPriorSigmaWeight;
    std::vector<double> ownSquares(servers.size(), 0);
    std::vector<std::vector<double>> times(servers.size());
    for (size_t i = 0; i < servers.size(); ++i) {
        times[i] = Answers(servers[i]);
        if (times[i].empty())
            continue;
        double mean = 0;
        for (double time : times[i])
            mean += time;
        mean /= double(times[i].size());
        for (double time : times[i])
            ownSquares[i] += (time - mean) * (time - mean);
        squares += ownSquares[i];
        degrees += double(times[i].size() - 1);
    }
    if (contending != nullptr)
        contending->assign(servers.size(), 0);
    if (first >= servers.size() || times[first].empty())
        return -1;
    double pooledVariance = squares / degrees;
    // A server that lost every round may only have been unlucky, and may then
    // be the best: even odds that it lives, and how likely a living server loses
    // every round it was asked in, E[p^n] for the pooled share p drawn from
    // beta(lost + 1/2, answered + 1/2) of the servers that answered.
    double alone = 1;
    double a = double(prior.lost) + 0.5, b = double(prior.asked - prior.lost) + 0.5;
    for (size_t i = 0; i < servers.size(); ++i) {
        if (!times[i].empty())
            continue;
        double unlucky = 1;
        for (size_t n = 0; n < servers[i].samples.size() && unlucky > 1e-12; ++n)
            unlucky *= (a + double(n)) / (a + b + double(n));
        alone /= 1 + unlucky;
        if (contending != nullptr)
            (*contending)[i] = unlucky / (1 + unlucky);
    }

    std::vector<Posterior> rivals;
    Posterior leader{};
    for (size_t i = 0; i < servers.size(); ++i) {
        if (times[i].empty())
            continue;
        Standing standing = Assess(servers[i], prior);
        double answers = double(times[i].size());
        double variance = std::max((kPooledSigmaWeight * pooledVariance + ownSquares[i]) /
                                       (kPooledSigmaWeight + answers - 1),
                                   kMinSigmaMs * kMinSigmaMs);
        Posterior p;
        p.index = i;
        p.median = standing.medianMs;
        p.standardError = kMedianSpread * std::sqrt(variance / answers);
        p.degrees = kPooledSigmaWeight + answers - 1;
        double lost = double(standing.asked - standing.replies);
        p.lossA = prior.weight * prior.pooled + lost;
        p.lossB = prior.weight * (1 - prior.pooled) + double(standing.replies);
        p.load = servers[i].load;
        // Losses only add to the expected time.
        p.floor = Score(p.median - kMaxT * p.standardError, p.load);
        if (i == first)
            leader = p;
        else
            rivals.push_back(p);
    }
    if (rivals.empty()) {
        if (contending != nullptr)
            (*contending)[first] = alone;
        return alone;
    }
    std::sort(rivals.begin(), rivals.end(), [](const Posterior& a, const Posterior& b) { return a.floor < b.floor; });

    std::mt19937_64 random(kConfidenceSeed);
    std::normal_distribution<double> normal;
    bool common = std::isinf(prior.weight);
    // A server's score; past `beyond` without its losses, losses can only add,
    // so the loss share is not drawn and the score counts as infinite.
    auto draw = [&](const Posterior& p, double commonLoss, double beyond) {
        double chi = std::gamma_distribution<double>(p.degrees / 2, 2)(random);
        double t = std::max(-kMaxT, std::min(kMaxT, normal(random) / std::sqrt(chi / p.degrees)));
        double median = p.median + p.standardError * t;
        if (Score(median, p.load) > beyond)
            return kInfinity;
        double loss = common ? commonLoss : BetaDraw(random, p.lossA, p.lossB);
        return Score(ExpectedMs(median, RetryMs(median), loss), p.load);
    };
    std::vector<uint32_t> near(rivals.size(), 0);
    std::vector<double> scores(rivals.size());
    uint32_t won = 0, d = 0;
    double slowest = 0;  // the leader's slowest draw
    for (; d < kConfidenceDraws; ++d) {
        // A figure surely below the least goal needs no more precision.
        if (contending == nullptr && d % kConfidenceBatch == 0 && d > 0) {
            double share = double(won) / d;
            if (share + 4 * std::sqrt(share * (1 - share) / d) + 4.0 / d < kConfidenceBelow)
                break;
        }
        double commonLoss = common ? BetaDraw(random, double(prior.lost) + 0.5, double(prior.asked - prior.lost) + 0.5)
                                   : 0;
        double leading = draw(leader, commonLoss, kInfinity);
        slowest = std::max(slowest, leading);
        if (contending == nullptr) {
            // Rank 1 is beaten by any rival that scores better than it by more
            // than the tolerance.
            double beats = leading / (1 + tolerance);
            bool beaten = false;
            for (const Posterior& rival : rivals) {
                if (rival.floor >= beats)
                    break;
                if (draw(rival, commonLoss, beats) < beats) {
                    beaten = true;
                    break;
                }
            }
            won += !beaten;
            continue;
        }
        // Every server near the best of this draw: rivals in the order of their
        // floors until no later one can come within the tolerance of the best.
        double best = leading;
        size_t drawn = 0;
        for (; drawn < rivals.size() && WithinTolerance(rivals[drawn].floor, best, tolerance); ++drawn) {
            scores[drawn] = draw(rivals[drawn], commonLoss, (1 + tolerance) * best);
            best = std::min(best, scores[drawn]);
        }
        won += WithinTolerance(leading, best, tolerance);
        for (size_t r = 0; r < drawn; ++r)
            near[r] += WithinTolerance(scores[r], best, tolerance);
    }
    // Beyond the cut of the t draws: the leader's own chance to lie there, and
    // each rival's chance to lie far enough below its median to beat the
    // leader's slowest draw by more than the tolerance.
    double beyond = StudentTail(kMaxT, leader.degrees);
    for (const Posterior& rival : rivals) {
        double reach = slowest / (1 + tolerance) / double(std::max<uint32_t>(rival.load, 1));
        double t = std::max(kMaxT, (rival.median - reach) / rival.standardError);
        beyond += StudentTail(t, rival.degrees);
    }
    double confidence = alone * double(won) / d * std::max(0.0, 1 - beyond);
    if (contending != nullptr) {
        (*contending)[first] = confidence;
        for (size_t r = 0; r < rivals.size(); ++r)
            (*contending)[rivals[r].index] = double(near[r]) / d;
    }
    return confidence;
}

}  // namespace lrdprobe
