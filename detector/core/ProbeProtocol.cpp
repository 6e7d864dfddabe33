#include "ProbeProtocol.h"

#include <stdio.h>

#include "Tick.h"

void FormatIPv4(const uint8_t (&address)[4], char (&text)[16])
{
    snprintf(text, sizeof text, "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
}

bool ProbeableAddress(const uint8_t (&address)[4]) { return address[0] != 0 && address[0] < 224; }

ReplyOutcome JudgeReply(CandidateList& candidates, const uint8_t* data, int32_t length, const uint8_t (&source)[4],
                        uint16_t sourcePort, uint32_t startTick, uint32_t arrivalTick)
{
    ReplyOutcome outcome = {ReplyVerdict::kTooShort, nullptr, 0, 0, false, false, false};
    LRDReply reply;
    if (length < 0 || !DecodeReply(data, (size_t)length, reply))
        return outcome;
    outcome.verdict = ReplyVerdict::kDropped;
    if (reply.dwCmd != kProbeCommand || reply.dwTick == 0)
        return outcome;

    const uint32_t address = (uint32_t)source[0] << 24 | (uint32_t)source[1] << 16 | (uint32_t)source[2] << 8 | source[3];
    EchoedRequest echoed;
    outcome.verdict = ReplyVerdict::kUnsent;
    if (!candidates.FindRequest(address, sourcePort, reply.dwTick, echoed))
        return outcome;
    outcome.pRecord = echoed.pRecord;
    ProbeState& state = *echoed.pState;
    outcome.dwRtt = TickElapsed(state.RequestTick(echoed.nRequest), arrivalTick);
    outcome.verdict = ReplyVerdict::kRepeat;
    if (state.Answered(echoed.nRequest))
        return outcome;

    outcome.verdict = ReplyVerdict::kAccepted;
    outcome.bFirstForCandidate = state.wAnswered == 0;
    state.wAnswered = (uint16_t)(state.wAnswered | 1u << echoed.nRequest);
    if (reply.bLong)
        outcome.dwLoad = reply.dwLoad == 0 ? 1 : reply.dwLoad;
    outcome.bSetsValues = state.nStanding == 0 || echoed.nRequest + 1 < state.nStanding;
    if (outcome.bSetsValues) {
        state.nStanding = (uint8_t)(echoed.nRequest + 1);
        candidates.TakeReplyValues(echoed, outcome.dwRtt, reply.bLong ? &outcome.dwLoad : nullptr);
    }
    // The window is judged by the reply's arrival: replies taken while a long list
    // still went out are handled only after Detect has returned.
    outcome.bReport = TickElapsed(startTick, arrivalTick) <= kReportWindowMs && sourcePort != 0;
    return outcome;
}
