// lrdprobe: probes servers through LinkrateDetector.dll and prints them ranked.
// See docs/host-integration.md for what it shows a host developer.
#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "DebuggerOutput.h"
#include "ProbeHost.h"
#include "ProbeOptions.h"
#include "ProbeSummary.h"

using namespace lrdprobe;

namespace {

// Exit statuses as fping's, since scripts branch on them.
constexpr int kAllAnswered = 0;
constexpr int kSomeSilent = 1;
// A name did not resolve; the others were probed.
constexpr int kUnresolved = 2;
constexpr int kBadArguments = 3;
// The module or a system call failed.
constexpr int kFailed = 4;
// What a shell reports for a program ended by SIGINT.
constexpr int kInterrupted = 130;

// Every line of the problem (a list file may have several) gets the program's
// name; the hint comes for the command line's faults.
int Fail(const std::string& problem, int status)
{
    size_t start = 0;
    while (start <= problem.size()) {
        size_t end = problem.find('\n', start);
        if (end == std::string::npos)
            end = problem.size();
        fprintf(stderr, "lrdprobe: %s\n", problem.substr(start, end - start).c_str());
        start = end + 1;
    }
    if (status == kBadArguments)
        fputs("try 'lrdprobe --help'\n", stderr);
    return status;
}

void PrintSummary(const std::vector<Row>& ranked, const RunInfo& run, const Options& options)
{
    std::vector<Row> rows = Select(ranked, options.onlyAnswering, options.onlySilent);
    std::string text = options.format == Format::kCsv    ? FormatCsv(rows, run)
                       : options.format == Format::kJson ? FormatJson(rows, run)
                                                         : FormatTable(rows, run, options.samples);
    fputs(text.c_str(), stdout);
    fflush(stdout);
}

bool WriteReport(const std::string& path, const std::string& text)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    return !file.fail();
}

}  // namespace

int main(int argc, char** argv)
{
    // Before anything that can block: reading standard input, resolving names.
    CatchInterrupt();
    PrepareOutput();
    // Live lines come as replies arrive, also into a pipe or a file.
    setvbuf(stderr, nullptr, _IONBF, 0);
    Options options;
    std::string problem =
        ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, ReadWholeFile, ResolveIPv4);
    if (!problem.empty())
        return Fail(problem, kBadArguments);
    if (options.help) {
        fputs(kUsage, stdout);
        return kAllAnswered;
    }
    if (options.version) {
        fputs("lrdprobe " LRDPROBE_VERSION "\n", stdout);
        return kAllAnswered;
    }
    // Before any probe: a report that cannot be written is no use after the last.
    if (!options.reportPath.empty() && !(problem = CheckOutputPath(options.reportPath)).empty())
        return Fail("--report " + options.reportPath + ": " + problem, kBadArguments);
    if (!options.logPath.empty() && !(problem = CheckOutputPath(options.logPath)).empty())
        return Fail("--log " + options.logPath + ": " + problem, kBadArguments);
    for (const std::string& warning : options.warnings)
        fprintf(stderr, "lrdprobe: %s\n", warning.c_str());
    if (options.servers.empty())
        return kUnresolved;
    // Refusals of a responder's rate limit would count as losses of its servers.
    uint32_t requests = RequestsToOneAddress(options);
    uint32_t periodMs = std::max(options.periodMs, PacedPeriodMs(options));
    if (options.rounds > 1 && periodMs > options.periodMs)
        fprintf(stderr,
                "lrdprobe: -p %u raised to %u ms: a round sends up to %u request%s to one address, and a responder's "
                "default rate limit admits 100 a second from one address\n",
                options.periodMs, periodMs, requests, requests == 1 ? "" : "s");
    if (requests > kResponderBurst)
        fprintf(stderr,
                "lrdprobe: a round sends up to %u requests to one address, and a responder's default rate limit "
                "answers %u at once from one address: those it refuses count as losses\n",
                requests, kResponderBurst);
    if (options.verbose)
        ShowDebuggerOutput();

    ProbeHost host;
    problem = host.Load(options);
    if (!problem.empty())
        return Fail(problem, kFailed);

    RunInfo run;
    run.roundsAsked = options.rounds;
    run.timeLimitMs = options.timeLimitMs;
    run.periodAskedMs = options.periodMs;
    run.confidenceGoal = options.confidenceGoal;
    run.tolerance = options.tolerance;
    run.unresolved = options.unresolvedLines;
    Summary summary(options.servers, options.tolerance);
    OnFiguresAsked([&] {
        if (summary.Rounds() == 0) {
            fputs("lrdprobe: no round done yet\n", stderr);
            return;
        }
        RunInfo sofar = run;
        sofar.roundsDone = summary.Rounds();
        fprintf(stderr, "lrdprobe: after %u of %u rounds\n", sofar.roundsDone, sofar.roundsAsked);
        fputs(FormatTable(summary.Ranked(), sofar).c_str(), stderr);
    });
    bool eliminating = options.confidenceGoal > 0 && !options.allRounds;
    BeginProbing();
    uint32_t runStart = TickMs(), roundStart = runStart;
    for (uint32_t round = 1; round <= options.rounds && !InterruptRequested(); ++round) {
        // Rounds never overlap: each is a detector of its own, and one that
        // lasts longer than the period delays the next.
        if (round > 1) {
            uint32_t elapsed = TickMs() - roundStart;
            if (elapsed < periodMs && !WaitUnlessInterrupted(periodMs - elapsed))
                break;
        }
        roundStart = TickMs();
        run.roundTimes.push_back(RoundTime{UtcNowText(), 0, roundStart - runStart});
        auto live = [&](const Reply& reply, bool listed) {
            if (!options.quiet)
                fputs(LiveLine(reply, listed, round, options.rounds).c_str(), stderr);
        };
        RoundResult result;
        problem = host.RunRound(summary.Contenders(), options.timeLimitMs, live, result);
        if (!problem.empty())
            return Fail(problem, kFailed);
        run.roundTimes.back().durationMs = TickMs() - roundStart;
        summary.AddRound(result.sorted, result.replies,
                         result.interrupted && run.roundTimes.back().durationMs < options.timeLimitMs);
        if (result.interrupted) {
            run.lastRoundCut = true;
            break;
        }
        if (!result.finished && !result.allAnswered)
            fprintf(stderr, "lrdprobe: the detection did not end in time; its results are taken as they were\n");
        if (options.confidenceGoal > 0) {
            // Successive elimination: a server that no longer has a chance of
            // being within the tolerance of the best is not asked again.
            std::vector<double> contending;
            if (summary.Confidence(eliminating ? &contending : nullptr) >= options.confidenceGoal)
                break;
            summary.DropHopeless(contending);
        }
    }
    run.roundsDone = summary.Rounds();
    if (run.roundTimes.size() > 1)
        run.periodMs = run.roundTimes.back().offsetMs / uint32_t(run.roundTimes.size() - 1);
    run.interrupted = InterruptRequested();

    std::vector<Row> ranked = summary.Ranked();
    // Taken as the rounds took it: the draws that also give each server's chance
    // come in another order than those of the figure alone.
    std::vector<double> contending;
    run.confidence = summary.Confidence(eliminating ? &contending : nullptr);
    if (run.interrupted)
        fprintf(stderr, "lrdprobe: %s\n", InterruptText(run).c_str());
    PrintSummary(ranked, run, options);
    bool allAnswered = std::all_of(ranked.begin(), ranked.end(), [](const Row& row) { return row.Answered(); });
    int status = run.interrupted          ? kInterrupted
                 : options.unresolved > 0 ? kUnresolved
                 : allAnswered            ? kAllAnswered
                                          : kSomeSilent;
    if (!options.reportPath.empty() && !WriteReport(options.reportPath, FormatHtml(ranked, run))) {
        fprintf(stderr, "lrdprobe: --report %s: cannot write the file\n", options.reportPath.c_str());
        if (status != kInterrupted)
            status = kFailed;
    }
    if (options.stats)
        fputs(FormatStats(ranked, run, options.unresolved, TickMs() - runStart).c_str(), stderr);
    return status;
}
