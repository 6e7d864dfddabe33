#include "ProbeExchange.h"

#include <string.h>

#include <algorithm>
#include <new>

#include "ProbeProtocol.h"
#include "Refusal.h"

namespace {

const char kSendRequest[] = "CLinkrateDetector::SendRequest()";

// Whether a reply can ever come from the candidate's server: replies are matched
// by the value of its canonical address text, and no request goes where no
// server can answer from.
bool CanAnswer(const IPInfo& candidate)
{
    uint32_t value;
    if (!ParseCanonicalIPv4(candidate.szIP, &value))
        return false;
    const uint8_t address[4] = {(uint8_t)(value >> 24), (uint8_t)(value >> 16), (uint8_t)(value >> 8), (uint8_t)value};
    return ProbeableAddress(address);
}

}  // namespace

bool ReplyQueue::Reserve(uint32_t capacity)
{
    TakenDatagram* items = new (std::nothrow) TakenDatagram[capacity];
    if (items == nullptr)
        return false;
    Release();
    pItems.reset(items);
    nCapacity = capacity;
    return true;
}

void ReplyQueue::Release()
{
    pItems.reset();
    nCapacity = 0;
    nFirst = 0;
    nCount = 0;
}

ProbeExchange::ProbeExchange(CandidateList& candidates, ProbeEndpoint& endpoint, ExchangeClock& clock,
                             ExchangeLog& log)
    : candidateList(candidates),
      endpoint(endpoint),
      clock(clock),
      log(log),
      bTraceWanted(log.TraceWanted()),
      dwSeq(1),
      dwStartTick(Tick()),
      nTakeCostUs(kAssumedTakeCostUs),
      bEndTimerRunning(0),
      dwEndTimerStart(0),
      dwEndTimerLimit(0),
      nReprobeCount(0)
{
}

bool ProbeExchange::ReserveReplyQueue() { return replyQueue.Reserve(kInitialReplyQueue); }

void ProbeExchange::MakeRoomForReplies(uint32_t candidates)
{
    if (candidates > replyQueue.Capacity() && replyQueue.Empty())
        replyQueue.Reserve(candidates);
}

void ProbeExchange::ReleaseReplyQueue() { replyQueue.Release(); }

bool ProbeExchange::PrepareRequests(bool (*drawOrigins)(uint32_t* origins, uint32_t count))
{
    // Drawn in batches: the system's generator costs a call per batch.
    uint32_t origins[256];
    uint32_t left = 0;
    bool drawn = true;
    candidateList.WalkProbeStates([&](const IPInfo&, ProbeState& state) {
        if (left == 0) {
            drawn = drawn && drawOrigins(origins, 256);
            left = 256;
        }
        state = ProbeState{};
        state.dwOrigin = origins[--left];
    });
    return drawn;
}

void ProbeExchange::StartDetection()
{
    dwStartTick = Tick();
    retrySchedule.Reset();
    counts = {};
}

void ProbeExchange::EndTimerStarted(uint32_t limitMs)
{
    retrySchedule.ShareOut(limitMs, nReprobeCount);
    bEndTimerRunning = 1;
    bEnded = false;
    dwEndTimerStart = Tick();
    dwEndTimerLimit = limitMs;
}

void ProbeExchange::DetectionEnded()
{
    bEndTimerRunning = 0;
    bEnded = true;
    replyQueue.Clear();
}

bool ProbeExchange::EndOfDetectionDue() { return EndDueAt(clock.Microseconds()); }

int32_t ProbeExchange::SendRequest(const char* ip, uint16_t port, ProbeState& state)
{
    if (ip == nullptr || !endpoint.SocketOpen()) {
        Error("%s exit fail", kSendRequest);
        Error("%s refused: %s", kSendRequest, RefusalText(ip == nullptr ? Refusal::kNullAddress : Refusal::kNoSocket));
        return 0;
    }
    Trace("%s exit success", kSendRequest);

    const uint32_t now = Tick();
    LRDPdu pdu = MakeRequest(dwSeq++, ServerTick(state.dwOrigin, now));
    state.NoteRequest(now);
    uint8_t wire[kProbeSize];
    EncodeRequest(pdu, wire);
    SendResult result = endpoint.Send(wire, kProbeSize, ip, port);
    Trace("sent [%d] bytes to [%s:%d] [%s], pdu:{dwCmd=%u,dwTick=%u,ushSeq=%u,dwFillData=%u},errorcode=[%u]",
          result.nSent, ip, (int32_t)port, result.nSent != kSendFailed ? "success" : "error", pdu.dwCmd, pdu.dwTick,
          (uint32_t)pdu.ushSeq, pdu.dwFillData, result.dwErrorCode);
    return result.nSent != kSendFailed ? 1 : 0;
}

template <class Choose>
void ProbeExchange::SendPaced(CandidateList& candidates, Choose chosen)
{
    // Replies that arrive while requests still go out are taken between the
    // sends, so that their arrival ticks are not those of the end of the loop; the
    // sink hears of them only from the read notification.
    //
    // While replies come in, the socket is looked at between every two sends, and
    // requests go out no faster than replies can be taken: servers at similar
    // distances answer as densely as the requests went out, and where a take
    // costs more than a send the replies would pile up on the socket and be
    // stamped the later the more came before them. The wait between two sends is
    // spent taking replies.
    //
    // While nothing comes in, nothing is waited for, and the socket is looked at
    // once in kSendsPerQuietLook sends only: a list of silent servers goes out at
    // nearly the pace of a plain send loop.
    //
    // Under Wine every socket call is a round trip to Wine's server: a receive
    // costs about as much as a send, whether it finds a datagram or not, and it
    // asks for the next read notification, so that each datagram arriving after
    // it costs that server a wake-up and a posted message as well. So the
    // socket is first asked whether a datagram waits, which costs a third to
    // half of a send and asks for no notification, and a receive is made only
    // for a datagram that waits. Every reply still costs a receive here: its
    // arrival tick is its round-trip time. Where the looks keep finding
    // datagrams, the replies come faster than they are taken (they come as
    // densely as the requests went out before the first of them came back), and
    // there the receives go on without looks: each datagram of the backlog is
    // taken, and stamped, a look sooner.
    //
    // The caller is blocked meanwhile, and on a busy machine every wait
    // stretches, so the time between the sends is held to kPacingPercent of the
    // time of the sends themselves; beyond it the looks are as rare as when
    // nothing comes in. What a look finds is taken in any case: the socket's
    // buffer is the only other place for it. Until a request has gone out the
    // socket may have no address, and a receive would only fail.
    bool sent = false;
    uint32_t untilLook = 1;  // sends until the socket is looked at
    uint64_t sending = 0;    // microseconds spent in the sends
    uint64_t between = 0;    // microseconds spent taking and waiting between them
    uint64_t lastSend = 0, sendEnd = 0;
    SendPhases phases = {};
    nLookCalls = nReceiveCalls = 0;
    auto inBudget = [&](uint64_t now) { return 100 * (between + (now - sendEnd)) < kPacingPercent * sending; };
    // Without its receive buffer the socket is only sent from.
    const bool taking = endpoint.ReceiveReady();
    candidates.WalkProbeStates([&](const IPInfo& candidate, ProbeState& state) {
        if (!chosen(candidate, state))
            return;
        if (taking && sent && --untilLook == 0) {
            ++phases.nLooks;
            uint32_t queued = replyQueue.Size();
            TakeReplies(clock.Microseconds(), true);
            bool flowing = replyQueue.Size() != queued;
            // With the queue full nothing more is taken, and waiting is no use.
            for (uint64_t now = clock.Microseconds();
                 flowing && !replyQueue.Full() && now - lastSend < nTakeCostUs && inBudget(now);
                 now = clock.Microseconds())
                TakeReplies(now, true);
            phases.nTaken += replyQueue.Size() - queued;
            untilLook = flowing && inBudget(clock.Microseconds()) ? 1u : (uint32_t)kSendsPerQuietLook;
        }
        lastSend = clock.Microseconds();
        if (sent)
            between += lastSend - sendEnd;
        sent = SendRequest(candidate.szIP, candidate.ushPort, state) != 0 || sent;
        ++phases.nSends;
        sendEnd = clock.Microseconds();
        sending += sendEnd - lastSend;
    });
    phases.qwSendUs = sending;
    phases.qwBetweenUs = between;
    phases.nLookCalls = nLookCalls;
    phases.nReceiveCalls = nReceiveCalls;
    lastSendPhases = phases;
}

int32_t ProbeExchange::SendToAll(CandidateList& candidates)
{
    SendPaced(candidates, [](const IPInfo&, ProbeState&) { return true; });
    return 1;
}

uint32_t ProbeExchange::Reprobe()
{
    if (nReprobeCount == 0 || !endpoint.SocketOpen() || !bInitialised)
        return 0;
    const uint32_t retry = retrySchedule.RetryTimeMs();
    const uint32_t now = Tick();
    uint32_t next = 0;
    auto dueIn = [&next](uint32_t ms) { next = next == 0 ? ms : std::min(next, ms); };
    SendPaced(candidateList, [&](const IPInfo& candidate, const ProbeState& state) {
        if (state.wAnswered != 0 || state.nRequests == 0 || state.nRequests > nReprobeCount || !state.CanRequest(now) ||
            !CanAnswer(candidate))
            return false;
        const uint32_t waited = TickElapsed(state.dwLastRequest, now);
        if (waited < retry) {
            dueIn(retry - waited);
            return false;
        }
        if (state.nRequests < nReprobeCount)
            dueIn(retry);
        return true;
    });
    return std::min<uint32_t>(next, kRetryFloorMs);
}

bool ProbeExchange::TakeReplies(uint64_t began, bool lookFirst, uint32_t limit)
{
    uint32_t unreachable = 0;
    uint32_t taken = 0;
    while (taken < limit && !replyQueue.Full()) {
        // A datagram that a receive returns arrived before the receive returned,
        // but not necessarily before it began: the thread may wait between two
        // receives, on a busy machine for milliseconds, while the datagram comes
        // in. The reading after the receive is therefore its arrival tick, never
        // earlier than the truth; it is also the next receive's start.
        if (lookFirst && taken < kLookedTakes) {
            ++nLookCalls;
            if (!endpoint.DatagramWaiting())
                return true;
        }
        ++nReceiveCalls;
        ReceiveResult received = endpoint.Receive();
        uint64_t ended = began;
        switch (received.kind) {
        case ReceiveKind::kDatagram: {
            ended = clock.Microseconds();
            // A stall of the system must not hold the sends back for long.
            uint64_t cost = std::min<uint64_t>(ended - began, 4 * kAssumedTakeCostUs);
            nTakeCostUs = (uint32_t)((3 * (uint64_t)nTakeCostUs + cost) / 4);
            break;
        }
        case ReceiveKind::kTruncated:
            // Handled as the datagram's first bytes, which are all a reply is read from.
            ended = clock.Microseconds();
            break;
        case ReceiveKind::kNothingWaiting:
            // No receive at all: the notification of a datagram that was taken
            // earlier finds the socket empty.
            return true;
        case ReceiveKind::kPeerUnreachable:
            // No datagram was lost, and the next one may be waiting. Bounded, so
            // that a socket that reports nothing else cannot hold the thread;
            // past the bound it ends the take as a failed receive does.
            if (++unreachable <= kHandledPerNotification)
                continue;
            break;
        case ReceiveKind::kFailed:
            break;
        }

        char sourceText[16];
        FormatIPv4(received.abSource, sourceText);
        Trace("from [%s:%d] recv udp [%d]bytes", sourceText, (int32_t)received.ushSourcePort, received.nCount);
        if (received.kind != ReceiveKind::kDatagram && received.kind != ReceiveKind::kTruncated)
            return false;

        TakenDatagram& datagram = replyQueue.Push();
        datagram.dwArrivalTick = TickAt(ended);
        datagram.nLength = (uint8_t)std::min<int32_t>(received.nCount, kReplyExaminedSize);
        memcpy(datagram.abSource, received.abSource, sizeof datagram.abSource);
        memcpy(datagram.szSource, sourceText, sizeof datagram.szSource);
        datagram.ushSourcePort = received.ushSourcePort;
        // Missing bytes of a short datagram read as zero.
        memset(datagram.abHead, 0, sizeof datagram.abHead);
        memcpy(datagram.abHead, received.pData, datagram.nLength);
        ++taken;
        began = ended;
    }
    return false;
}

ReadStep ProbeExchange::NextReadStep(ReadPass& pass)
{
    ReadStep step = {};
    step.kind = ReadStep::Kind::kDone;
    if (!pass.bBegun) {
        pass.bBegun = true;
        pass.qwBegan = clock.Microseconds();
        // The system makes a WM_TIMER only when no posted message waits, so a
        // steady stream of read notifications would hold the end of the
        // detection back for as long as it lasts. The end is taken here as soon
        // as it is due instead.
        if (EndDueAt(pass.qwBegan)) {
            step.kind = ReadStep::Kind::kEndDetection;
            return step;
        }
        if (!AcceptingReplies()) {
            step.kind = ReadStep::Kind::kRefused;
            step.refusal = bInitialised ? Refusal::kDetectionEnded : Refusal::kNoSocket;
            return step;
        }
    } else if (!AcceptingReplies()) {
        // The sink ended the detection.
        return step;
    }
    // The datagrams waiting are handled, each as if it had come with a
    // notification of its own; each keeps the tick at which it was taken. No more
    // are taken off the socket than this notification will handle: a flood, or
    // the replies of thousands of servers, would otherwise hold the thread for as
    // long as it takes to take them all. A take that found the socket empty
    // after one datagram ends the taking: what arrives later raises a
    // notification of its own, so a lone reply costs one receive that takes it
    // and one that finds nothing. After several, more are likely on their way
    // (a burst, a flood), and the notification takes once more when it has
    // handled them, rather than leave each to a notification of its own.
    //
    // The reading taken at the first step serves as the first take's start only
    // when nothing was handled before it: the sink's calls take time.
    for (;;) {
        if (pass.nHandled == kHandledPerNotification) {
            step.kind = ReadStep::Kind::kReadAgainLater;
            return step;
        }
        if (replyQueue.Empty() && !pass.bDrained) {
            pass.bDrained = TakeReplies(pass.nHandled == 0 ? pass.qwBegan : clock.Microseconds(), false,
                                        kHandledPerNotification - pass.nHandled) &&
                            replyQueue.Size() <= 1;
        }
        if (replyQueue.Empty())
            return step;
        ++pass.nHandled;
        if (HandleDatagram(replyQueue.Pop(), step))
            return step;
    }
}

bool ProbeExchange::HandleDatagram(const TakenDatagram& datagram, ReadStep& step)
{
    ReplyOutcome outcome = JudgeReply(candidateList, datagram.abHead, datagram.nLength, datagram.abSource,
                                      datagram.ushSourcePort, dwStartTick, datagram.dwArrivalTick);
    switch (outcome.verdict) {
    case ReplyVerdict::kTooShort:
        ++counts.nMalformed;
        Error("pdu size error,not support");
        return false;
    case ReplyVerdict::kDropped:
        ++counts.nMalformed;
        return false;
    case ReplyVerdict::kUnsent:
        ++counts.nUnsent;
        return false;
    case ReplyVerdict::kRepeat:
        ++counts.nRepeats;
        return false;
    case ReplyVerdict::kAccepted:
        ++counts.nAccepted;
        break;
    }
    if (outcome.bFirstForCandidate && Reprobing())
        retrySchedule.AddSample(outcome.dwRtt);
    // A responder may answer from another port of its address; the echoed tick
    // says whose request it answers, and the sink hears of it as that server.
    const uint16_t port = outcome.pRecord->ushPort;
    if (port != datagram.ushSourcePort)
        Trace("from [%s:%d] answers the request to port [%d]", datagram.szSource, (int32_t)datagram.ushSourcePort,
              (int32_t)port);
    if (!outcome.bReport)
        return false;
    step.kind = ReadStep::Kind::kReport;
    memcpy(step.szIP, datagram.szSource, sizeof step.szIP);
    step.ushPort = port;
    step.dwRtt = outcome.dwRtt;
    return true;
}

void ProbeExchange::Trace(const char* format, ...)
{
    if (!bTraceWanted)
        return;
    va_list args;
    va_start(args, format);
    log.TraceLine(format, args);
    va_end(args);
}

void ProbeExchange::Error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    log.ErrorLine(format, args);
    va_end(args);
}
