// The host side of lrdprobe: the shipped factory library and the module loaded
// into the process, and one detection run on a new detector.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "LinkrateDetector.h"
#include "ProbeSummary.h"

namespace lrdprobe {

struct RoundResult {
    std::vector<IPInfo> sorted;   // GetSortedIPArray, best first
    std::vector<Reply> replies;   // as the sink heard them
    bool finished = false;        // OnDetectFinished came in time
    bool allAnswered = false;     // every listed server answered before the time limit
    bool interrupted = false;     // Ctrl-C cut the round short; sorted holds what was heard
};

// Turns Ctrl-C (SIGINT under Wine) into a request that the rounds stop, and
// Ctrl-Break into one for the figures so far, as Windows' ping takes them. Until
// BeginProbing, an interrupt ends the process at once with status 130 and a line
// on standard error (nothing has been heard that a summary could show, and
// reading a list or resolving names may block), and Ctrl-Break is ignored.
// Wine ends the thread that takes a SIGQUIT and hands a console handler no
// signal but SIGINT, so scripts/lrdprobe sends a SIGINT after creating the file
// named by the environment variable LRDPROBE_FIGURES_FILE: a Ctrl-C that can
// remove that file counts as a Ctrl-Break.
void CatchInterrupt();
void BeginProbing();
bool InterruptRequested();
// What shows the figures: called on the main thread, between messages, while a
// round or the wait for the next one goes on.
void OnFiguresAsked(std::function<void()> show);
// Waits the given time, or less when an interrupt comes; false then.
bool WaitUnlessInterrupted(uint32_t ms);
// The system's millisecond tick.
uint32_t TickMs();
// The time now as UTC, ISO 8601 with milliseconds.
std::string UtcNowText();

// Standard output and error keep "\n" as it is (no CR added) when they are not
// a Windows console, so that pipes and files get Unix line ends under Wine; a
// console shows UTF-8.
void PrepareOutput();

// The IPv4 addresses of a host name, through the system's resolver.
std::string ResolveIPv4(const std::string& name, std::vector<uint32_t>& addresses);

class ProbeHost {
public:
    ProbeHost() = default;
    ProbeHost(const ProbeHost&) = delete;
    ProbeHost& operator=(const ProbeHost&) = delete;
    // Removes the configuration file written for -r.
    ~ProbeHost();

    // Loads host\ZelFact.dll beside the program and hands it the log options (-v:
    // Error and Trace lines to the debugger output; --log: both to the file), then
    // loads the module and injects the factory library. The factory library comes
    // first: a detector asks it for its log settings when it is made. With -r, the
    // module is pointed at a configuration file of lrdprobe's own that holds the
    // re-probe count (a detector reads its settings when it is made). Returns an
    // empty text, or what failed.
    std::string Load(const Options& options);

    // One detection on a new detector: Initialize, Detect with the record list,
    // messages pumped until every listed server has answered or OnDetectFinished
    // (or a margin past the time limit), GetSortedIPArray, Finalize, Release. An
    // interrupt ends the pump at once; the result is then what was heard. Every reply also
    // goes to onReply as it comes, with whether it came from a listed server.
    // Returns an empty text, or what failed.
    std::string RunRound(const std::vector<Server>& servers, uint32_t timeLimitMs,
                         const std::function<void(const Reply&, bool listed)>& onReply, RoundResult& result);

private:
    PFN_CreateComponent m_create = nullptr;
    std::string m_configPath;  // lrdprobe's own configuration file, if it wrote one
};

}  // namespace lrdprobe
