#include "ProbeProtocol.h"

#include <stdio.h>

#include "Tick.h"

void FormatIPv4(const uint8_t (&address)[4], char (&text)[16])
{
    snprintf(text, sizeof text, "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
}

bool ProbeableAddress(const uint8_t (&address)[4]) { return address[0] != 0 && address[0] < 224; }

ReplyOutcome HandleReply(CandidateList& candidates, const uint8_t* data, int32_t length, const char* sourceText,
                         uint16_t sourcePort, uint32_t startTick, uint32_t arrivalTick, bool countOnce)
{
    LRDReply reply;
    if (length < 0 || !DecodeReply(data, (size_t)length, reply))
        return {ReplyVerdict::kTooShort, 0, false};
    if (reply.dwCmd != kProbeCommand || reply.dwTick == 0 || !TickWithin(startTick, reply.dwTick, arrivalTick))
        return {ReplyVerdict::kDropped, 0, false};

    uint32_t rtt = TickElapsed(reply.dwTick, arrivalTick);
    bool first = false;
    if (countOnce) {
        HeardBefore before = candidates.MarkHeard(sourceText, sourcePort);
        if (before == HeardBefore::kYes)
            return {ReplyVerdict::kRepeat, rtt, false};
        first = before == HeardBefore::kNo;
    }
    if (!reply.bLong)
        candidates.SetRtt(sourceText, rtt);
    else
        candidates.SetRttAndLoad(sourceText, sourcePort, rtt, reply.dwLoad == 0 ? 1 : reply.dwLoad);
    return {ReplyVerdict::kAccepted, rtt, first};
}
