// lrdprobe: probes servers through LinkrateDetector.dll and prints them ranked.
// See docs/host-integration.md for what it shows a host developer.
#include <stdio.h>

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
constexpr int kFailed = 2;
// What a shell reports for a program ended by SIGINT.
constexpr int kInterrupted = 130;

int Fail(const std::string& problem)
{
    fprintf(stderr, "lrdprobe: %s\ntry 'lrdprobe --help'\n", problem.c_str());
    return kFailed;
}

void PrintSummary(const Summary& summary, const Options& options)
{
    std::vector<Row> rows = summary.Ranked();
    std::string text = options.format == Format::kCsv    ? FormatCsv(rows, summary.Rounds())
                       : options.format == Format::kJson ? FormatJson(rows, summary.Rounds(), options.timeLimitMs)
                                                         : FormatTable(rows, summary.Rounds());
    fputs(text.c_str(), stdout);
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
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
    if (options.verbose)
        ShowDebuggerOutput();

    CatchInterrupt();
    ProbeHost host;
    problem = host.Load(options);
    if (!problem.empty())
        return Fail(problem);

    Summary summary(options.servers);
    uint32_t roundStart = TickMs();
    for (uint32_t round = 1; round <= options.rounds && !InterruptRequested(); ++round) {
        if (round > 1) {
            uint32_t elapsed = TickMs() - roundStart;
            if (elapsed < options.periodMs && !WaitUnlessInterrupted(options.periodMs - elapsed))
                break;
            roundStart = TickMs();
        }
        auto live = [&](const Reply& reply, bool listed) {
            if (!options.quiet)
                fputs(LiveLine(reply, listed, round, options.rounds).c_str(), stderr);
        };
        RoundResult result;
        problem = host.RunRound(options.servers, options.timeLimitMs, live, result);
        if (!problem.empty())
            return Fail(problem);
        if (result.interrupted)
            break;
        if (!result.finished && !result.allAnswered)
            fprintf(stderr, "lrdprobe: the detection did not end in time; its results are taken as they were\n");
        summary.AddRound(result.sorted, result.replies);
    }

    if (InterruptRequested()) {
        fprintf(stderr, "lrdprobe: interrupted after %u of %u rounds\n", summary.Rounds(), options.rounds);
        if (summary.Rounds() > 0)
            PrintSummary(summary, options);
        return kInterrupted;
    }
    PrintSummary(summary, options);
    return summary.AnyAnswered() ? kSomeAnswered : kNoneAnswered;
}
