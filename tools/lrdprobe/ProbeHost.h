// The host side of lrdprobe: the shipped factory library and the module loaded
// into the process, and one detection run on a new detector.
#pragma once

#include <windows.h>

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
};

class ProbeHost {
public:
    // Loads host\ZelFact.dll beside the program and hands it the log options (-v:
    // Error and Trace lines to the debugger output; --log: both to the file), then
    // loads the module and injects the factory library. The factory library comes
    // first: a detector asks it for its log settings when it is made. Returns an
    // empty text, or what failed.
    std::string Load(const Options& options);

    // One detection on a new detector: Initialize, Detect with the record list,
    // messages pumped until OnDetectFinished (or a margin past the time limit),
    // GetSortedIPArray, Finalize, Release. Every reply also goes to onReply as it
    // comes. Returns an empty text, or what failed.
    std::string RunRound(const std::vector<Server>& servers, uint32_t timeLimitMs,
                         const std::function<void(const Reply&)>& onReply, RoundResult& result);

private:
    PFN_CreateComponent m_create = nullptr;
};

}  // namespace lrdprobe
