#include "RetrySchedule.h"

#include <algorithm>

void RetrySchedule::Reset()
{
    nCeilingMs = kRetryCeilingMs;
    bSampled = false;
    qwSmoothed = 0;
    qwDeviation = 0;
    nSlowestMs = 0;
}

void RetrySchedule::ShareOut(uint32_t timeLimitMs, uint32_t reprobes)
{
    nCeilingMs = kRetryCeilingMs;
    if (timeLimitMs != 0)
        nCeilingMs = std::max<uint32_t>(kRetryFloorMs,
                                        std::min<uint32_t>(kRetryCeilingMs, timeLimitMs / (reprobes + 1)));
}

void RetrySchedule::AddSample(uint32_t rttMs)
{
    nSlowestMs = std::max(nSlowestMs, rttMs);
    const uint64_t sample = (uint64_t)rttMs * 8;
    if (!bSampled) {
        bSampled = true;
        qwSmoothed = sample;
        qwDeviation = sample / 2;
        return;
    }
    const uint64_t error = sample > qwSmoothed ? sample - qwSmoothed : qwSmoothed - sample;
    qwDeviation = (3 * qwDeviation + error) / 4;
    qwSmoothed = (7 * qwSmoothed + sample) / 8;
}

uint32_t RetrySchedule::RetryTimeMs() const
{
    if (!bSampled)
        return std::min<uint32_t>(kRetryInitialMs, nCeilingMs);
    // Rounded up to whole milliseconds: a retry never comes early.
    const uint64_t timeout = std::max<uint64_t>((qwSmoothed + 4 * qwDeviation + 7) / 8,
                                                (uint64_t)nSlowestMs + kRetryFloorMs);
    return (uint32_t)std::max<uint64_t>(kRetryFloorMs, std::min<uint64_t>(nCeilingMs, timeout));
}
