// lrdprobe: probes servers through LinkrateDetector.dll and prints them ranked.
// See docs/host-integration.md for what it shows a host developer.
#include <stdio.h>

#include <fstream>
#include <string>
#include <vector>

#include "DebuggerOutput.h"
#include "ProbeHost.h"
#include "ProbeOptions.h"
#include "ProbeSummary.h"

using namespace lrdprobe;

namespace {

constexpr int kSomeAnswered = 0;
constexpr int kNoneAnswered = 1;
// Also for a name that did not resolve while the others were probed, as fping.
constexpr int kFailed = 2;
// What a shell reports for a program ended by SIGINT.
constexpr int kInterrupted = 130;

// Every line of the problem (a list file may have several) gets the program's
// name; the hint comes once.
int Fail(const std::string& problem)
{
    size_t start = 0;
    while (start <= problem.size()) {
        size_t end = problem.find('\n', start);
        if (end == std::string::npos)
            end = problem.size();
        fprintf(stderr, "lrdprobe: %s\n", problem.substr(start, end - start).c_str());
        start = end + 1;
    }
    fputs("try 'lrdprobe --help'\n", stderr);
    return kFailed;
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
        return Fail(problem);
    if (options.help) {
        fputs(kUsage, stdout);
        return kSomeAnswered;
    }
    if (options.version) {
        fputs("lrdprobe " LRDPROBE_VERSION "\n", stdout);
        return kSomeAnswered;
    }
    for (const std::string& warning : options.warnings)
        fprintf(stderr, "lrdprobe: %s\n", warning.c_str());
    if (options.verbose)
        ShowDebuggerOutput();

    ProbeHost host;
    problem = host.Load(options);
    if (!problem.empty())
        return Fail(problem);

    RunInfo run;
    run.roundsAsked = options.rounds;
    run.timeLimitMs = options.timeLimitMs;
    run.periodMs = options.periodMs;
    run.confidenceGoal = options.confidenceGoal;
    Summary summary(options.servers);
    BeginProbing();
    uint32_t runStart = TickMs(), roundStart = runStart;
    for (uint32_t round = 1; round <= options.rounds && !InterruptRequested(); ++round) {
        if (round > 1) {
            uint32_t elapsed = TickMs() - roundStart;
            if (elapsed < options.periodMs && !WaitUnlessInterrupted(options.periodMs - elapsed))
                break;
        }
        roundStart = TickMs();
        run.roundTimes.push_back(RoundTime{UtcNowText(), 0});
        auto live = [&](const Reply& reply, bool listed) {
            if (!options.quiet)
                fputs(LiveLine(reply, listed, round, options.rounds).c_str(), stderr);
        };
        RoundResult result;
        problem = host.RunRound(options.servers, options.timeLimitMs, live, result);
        if (!problem.empty())
            return Fail(problem);
        run.roundTimes.back().durationMs = TickMs() - roundStart;
        summary.AddRound(result.sorted, result.replies,
                         result.interrupted && run.roundTimes.back().durationMs < options.timeLimitMs);
        if (result.interrupted) {
            run.lastRoundCut = true;
            break;
        }
        if (!result.finished && !result.allAnswered)
            fprintf(stderr, "lrdprobe: the detection did not end in time; its results are taken as they were\n");
        if (options.confidenceGoal > 0 && summary.Confidence() >= options.confidenceGoal)
            break;
    }
    run.roundsDone = summary.Rounds();
    run.interrupted = InterruptRequested();

    std::vector<Row> ranked = summary.Ranked();
    run.confidence = summary.Confidence();
    if (run.interrupted)
        fprintf(stderr, "lrdprobe: %s\n", InterruptText(run).c_str());
    PrintSummary(ranked, run, options);
    int status = run.interrupted          ? kInterrupted
                 : options.unresolved > 0 ? kFailed
                 : summary.AnyAnswered()  ? kSomeAnswered
                                          : kNoneAnswered;
    if (!options.reportPath.empty() && !WriteReport(options.reportPath, FormatHtml(ranked, run))) {
        fprintf(stderr, "lrdprobe: --report %s: cannot write the file\n", options.reportPath.c_str());
        if (status != kInterrupted)
            status = kFailed;
    }
    if (options.stats)
        fputs(FormatStats(ranked, run, options.unresolved, TickMs() - runStart).c_str(), stderr);
    return status;
}
