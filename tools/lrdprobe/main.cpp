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

int Fail(const std::string& problem)
{
    fprintf(stderr, "lrdprobe: %s\n", problem.c_str());
    return kFailed;
}

}  // namespace

int main(int argc, char** argv)
{
    // Live lines come as replies arrive, also into a pipe or a file.
    setvbuf(stderr, nullptr, _IONBF, 0);
    Options options;
    std::string problem = ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, ReadWholeFile);
    if (!problem.empty()) {
        fprintf(stderr, "lrdprobe: %s\n%s", problem.c_str(), kUsage);
        return kFailed;
    }
    if (options.help) {
        fputs(kUsage, stdout);
        return kSomeAnswered;
    }
    if (options.verbose)
        ShowDebuggerOutput();

    ProbeHost host;
    problem = host.Load(options);
    if (!problem.empty())
        return Fail(problem);

    Summary summary(options.servers);
    for (uint32_t round = 1; round <= options.rounds; ++round) {
        auto live = [&](const Reply& reply) {
            if (!options.quiet)
                fputs(LiveLine(reply, summary.Listed(reply), round, options.rounds).c_str(), stderr);
        };
        RoundResult result;
        problem = host.RunRound(options.servers, options.timeLimitMs, live, result);
        if (!problem.empty())
            return Fail(problem);
        if (!result.finished)
            fprintf(stderr, "lrdprobe: the detection did not end in time; its results are taken as they were\n");
        summary.AddRound(result.sorted, result.replies);
    }

    std::vector<Row> rows = summary.Ranked();
    std::string text = options.format == Format::kCsv    ? FormatCsv(rows, summary.Rounds())
                       : options.format == Format::kJson ? FormatJson(rows, summary.Rounds(), options.timeLimitMs)
                                                         : FormatTable(rows, summary.Rounds());
    fputs(text.c_str(), stdout);
    fflush(stdout);
    return summary.AnyAnswered() ? kSomeAnswered : kNoneAnswered;
}
