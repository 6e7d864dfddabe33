// What lrdprobe makes of the detector's results: every round's result array
// matched back to the servers given, the servers ranked over all rounds, and the
// summary and live lines it prints. No platform header.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "LinkrateDetector.h"
#include "ProbeOptions.h"
#include "ProbeRanking.h"

namespace lrdprobe {

// A reply as the detector's sink reports it.
struct Reply {
    std::string address;
    uint16_t port;
    uint32_t rtt;
};

// One server over all rounds.
struct Row {
    Server server;
    uint32_t rank = 0;                               // in the whole ranking, from 1
    uint32_t replies = 0;                            // rounds in which it answered
    uint32_t rttMin = 0, rttMax = 0;                 // over those rounds, in ms
    double rttMedian = 0;                            // likewise
    uint32_t load = 0;                               // from the last round in which it answered
    Standing standing;                               // what ranks it (ProbeRanking.h)
    bool tied = false;                               // not rank 1, its score within the tolerance of rank 1's
    uint32_t droppedAfter = 0;                       // the last round it was asked in, when dropped; else 0
    // One per round it was asked in: ms, or kLost. A round cut short before its
    // reply was due is not one of them.
    std::vector<uint32_t> samples;
    bool Answered() const { return replies > 0; }
    double Score() const { return standing.score; }
    // The detector reads a reply without a load as kDefaultLoad and tells it
    // from a reported load of the same value in no way: such a load is marked
    // in every output, "100*" where it is shown as text.
    bool LoadDefault() const { return Answered() && load == kDefaultLoad; }
    // The share of the rounds it was asked in without its reply, in percent.
    double LossPercent() const
    {
        return samples.empty() ? 0.0 : 100.0 * double(samples.size() - replies) / double(samples.size());
    }
};

// When a round began (UTC, ISO 8601 with milliseconds, and ms after the first
// round began) and how long it took.
struct RoundTime {
    std::string start;
    uint32_t durationMs = 0;
    uint32_t offsetMs = 0;
};

// The run behind a summary.
struct RunInfo {
    uint32_t roundsAsked = 1;
    uint32_t roundsDone = 0;     // the rounds in the summary, one cut short included
    bool interrupted = false;
    bool lastRoundCut = false;   // the interrupt came during the last round
    uint32_t timeLimitMs = kDefaultTimeLimitMs;
    uint32_t periodAskedMs = kDefaultPeriodMs;  // -p
    uint32_t periodMs = 0;  // the mean time between the starts of rounds, as it was (two rounds or more)
    std::vector<RoundTime> roundTimes;
    // The probability that rank 1 is within the tolerance of the best
    // (Confidence in ProbeRanking.h); -1 when no server answered.
    double confidence = -1;
    double confidenceGoal = 0;  // --confidence; 0 without it
    double tolerance = kDefaultTolerance;
    // Servers given by a name that did not resolve, each with the resolver's
    // reason: never probed, but named in the report.
    std::vector<std::string> unresolved;
    bool Reached() const { return confidenceGoal > 0 && confidence >= confidenceGoal; }
};

class Summary {
public:
    explicit Summary(std::vector<Server> servers, double tolerance = kDefaultTolerance);

    // One round: the result array of GetSortedIPArray, best first, and the replies
    // the sink heard during the round. A server answered the round when a reply
    // came from its own address and port; its time is that reply's (the last, if
    // it sent several). Its load comes from the record of its address and port
    // (servers listed twice take that endpoint's records in turn); the records'
    // order also orders servers the ranking finds equal.
    // Servers dropped before the round were not asked in it.
    // A round cut short before its time limit (`cutInTime`) counts only the
    // servers that answered: the others' replies could still have come, so they
    // were not asked in it.
    void AddRound(const std::vector<IPInfo>& sorted, const std::vector<Reply>& replies, bool cutInTime = false);

    uint32_t Rounds() const { return m_rounds; }
    bool AnyAnswered() const;

    // Ranked best first by RankServers (ProbeRanking.h). Servers equal by it keep
    // the detector's order of the first round.
    std::vector<Row> Ranked() const;
    // The probability that the first of Ranked() is within the tolerance of the
    // best; with `contending`, each server's chance of that, in the order given.
    double Confidence(std::vector<double>* contending = nullptr) const;
    // Leaves out of later rounds every server but rank 1 whose chance of being
    // within the tolerance of the best is below kDropBelow.
    void DropHopeless(const std::vector<double>& contending);
    // The servers to ask in the next round, in the order given.
    std::vector<Server> Contenders() const;

    // Whether a reply's source is one of the servers given.
    bool Listed(const Reply& reply) const;

private:
    std::vector<Server> m_servers;
    std::vector<ServerRounds> m_tallies;
    // Server indexes by address and port, in the order given.
    std::unordered_map<uint64_t, std::vector<size_t>> m_byEndpoint;
    std::vector<size_t> m_firstOrder;  // server indexes as the first round ranked them
    std::vector<uint32_t> m_droppedAfter;  // per server, as Row::droppedAfter
    double m_tolerance;
    uint32_t m_rounds = 0;

    std::vector<ServerRounds> InFirstOrder() const;
};

// Watches one round's replies for the moment every listed server has answered.
class RoundProgress {
public:
    explicit RoundProgress(const std::vector<Server>& servers);
    // Returns whether the reply came from a listed server.
    bool Heard(const Reply& reply);
    bool AllAnswered() const { return m_answered == m_endpoints.size(); }

private:
    std::unordered_map<uint64_t, bool> m_endpoints;  // address and port -> answered
    size_t m_answered = 0;
};

// One scale for every server's round-trip times, so that the table's bars and
// the report's strips compare servers: linear from 0, or logarithmic from half
// the fastest time when the times span kLogRange or more, up to the slowest time
// that is not an outlier of its own server (beyond max(Q3 + 3 x IQR, 2 x Q3) of
// its times). Outliers are drawn at the top, marked.
constexpr double kLogRange = 20;
struct TimeScale {
    double low = 0, high = 1;
    bool logarithmic = false;
    // Where a time lies on the scale, from 0 to 1; 1 beyond `high`.
    double Level(double ms) const;
    std::string Text() const;  // "0 to 16 ms", "log, 0.5 to 300 ms"
};
TimeScale ScaleOf(const std::vector<Row>& rows);

// The rows that -a (only those that answered) or -u (only those that never
// did) leave; their ranks stay those of the whole ranking.
std::vector<Row> Select(const std::vector<Row>& rows, bool onlyAnswering, bool onlySilent);

// The table. With 5 rounds or more, a column of bars, one per round (the last
// kBarRounds), on the ScaleOf the rows, an outlier beyond it as a triangle, a
// gap for a round without its reply. With `samples`, fping -C's lines under
// it: each server's times per round, '-' for a round without its reply. A last
// line tells of an interrupt.
constexpr uint32_t kBarRounds = 40;
std::string FormatTable(const std::vector<Row>& rows, const RunInfo& run, bool samples = false);
// The load as the table and the report show it: "100*" for LoadDefault.
std::string LoadText(const Row& row);
// What "100*" means, under the table and in the report.
extern const char kLoadDefaultNote[];
// A header line, then one line per server.
std::string FormatCsv(const std::vector<Row>& rows, const RunInfo& run);
std::string FormatJson(const std::vector<Row>& rows, const RunInfo& run);
// One self-contained HTML page without scripts (ProbeReport.cpp).
std::string FormatHtml(const std::vector<Row>& rows, const RunInfo& run);
// "interrupted after K of N rounds", and whether the last was cut short.
std::string InterruptText(const RunInfo& run);
// What the confidence figure says, and whether --confidence was reached; empty
// when no server answered. Above 99.9 % it reads "> 99.9%": nothing the rounds
// show is certain.
std::string ConfidenceText(const RunInfo& run);
// The servers tied with rank 1 within the tolerance, by address and port (up to
// kTiedNamed, then a count); empty when there are none.
constexpr size_t kTiedNamed = 10;
std::string TiedText(const std::vector<Row>& rows, const RunInfo& run);
// -s: counts of all servers and the time the run took.
std::string FormatStats(const std::vector<Row>& rows, const RunInfo& run, uint32_t unresolved, uint32_t elapsedMs);

// The live line of a reply; the round is shown when there are several.
std::string LiveLine(const Reply& reply, bool listed, uint32_t round, uint32_t rounds);

}  // namespace lrdprobe
