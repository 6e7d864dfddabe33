// When a server that has not answered is asked again: a retransmission timeout
// over the round-trip times of the replies this detection has had, computed as
// TCP computes one (a smoothed round-trip time and its smoothed deviation, gains
// 1/8 and 1/4; the retry time is the one plus four times the other), held
// between a floor and a ceiling, and before any reply an initial value.
//
// The replies come from many servers at once, near and far, so the deviation
// grows with their spread and the timeout soon exceeds what a short detection
// can wait. The ceiling is therefore also the detection's time limit shared out
// among the first request and the re-probes, so that every re-probe leaves room
// for its answer within the limit.
//
// The servers of one detection are near and far, and a server that is silent
// while slower ones still answer is more likely slow than lost: a request asked
// again before its answer could come only adds a reply to take, and traffic that
// delays the other servers' replies. So the retry time is also at least the
// slowest reply of the detection plus the floor.
//
// The echoed tick says which request a reply answers, so every sample is a true
// round-trip time, also after a re-probe: no sample has to be set aside.
#pragma once

#include <stdint.h>

enum : uint32_t {
    kRetryInitialMs = 250,   // before any reply
    kRetryFloorMs = 50,      // a reply's time varies by a few ms even on loopback
    kRetryCeilingMs = 1000,  // a fifth of the reporting window
};

class RetrySchedule {
public:
    // A new detection: no reply seen yet, and no time limit.
    void Reset();
    // The detection's time limit and the re-probes a candidate may have.
    void ShareOut(uint32_t timeLimitMs, uint32_t reprobes);
    void AddSample(uint32_t rttMs);
    // How long a server's latest request stays unanswered before it is asked again.
    uint32_t RetryTimeMs() const;

private:
    uint32_t nCeilingMs = kRetryCeilingMs;
    bool bSampled = false;
    // Both in eighths of a millisecond.
    uint64_t qwSmoothed = 0;
    uint64_t qwDeviation = 0;
    uint32_t nSlowestMs = 0;
};
