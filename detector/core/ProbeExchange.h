// The detector's side of the probe exchange, free of any platform: requests go
// out to every candidate at a pace that leaves room to take the replies that
// already come in; replies are taken into the queue with the tick of their
// arrival, judged, and handed to the detector as reports to make; the end of a
// detection is taken as soon as it is due; and, when the host turned re-probing
// on, candidates that stay silent are asked again (RetrySchedule.h).
//
// The exchange decides and never calls up: a read notification is handled a
// step at a time (NextReadStep), and each step says what the detector is to do,
// report a reply, end the detection, or ask for a later turn, which the
// detector does, sink calls included, before it asks for the next. Every reply
// is judged by JudgeReply (ProbeProtocol.h). The socket, the clock and the log
// come in through the small interfaces below, so that the rules here run the
// same with the system's socket and clock as with scripted ones.
#pragma once

#include <stdarg.h>
#include <stdint.h>

#include <memory>

#include "CandidateList.h"
#include "DetectPhases.h"
#include "ProbeProtocol.h"
#include "ReceiveKind.h"
#include "Refusal.h"
#include "RetrySchedule.h"
#include "SafeText.h"
#include "Tick.h"

enum : uint32_t {
    // Room for datagrams taken off the socket and not yet handled: this many from
    // the start, and one per candidate of a detection with more.
    kInitialReplyQueue = 64,
    // Datagrams taken and handled in one read notification at most, so that the
    // thread's timers and other windows get their turn; the rest are left for a
    // later notification. Also the bound on reports of unreachable peers skipped
    // in one take, so that a socket that reports nothing else cannot hold the
    // thread.
    kHandledPerNotification = 1024,
    // What taking one datagram off the socket is assumed to cost (microseconds)
    // until this detector has measured it: about what it costs under Wine on
    // loopback, where it is two to three times the cost of a send.
    kAssumedTakeCostUs = 80,
    // While no reply comes in during the sends, the socket is looked at once in
    // this many sends: under Wine a look costs a third to half of a send.
    kSendsPerQuietLook = 8,
    // Datagrams that one take looks for before receiving; past them the socket
    // holds a backlog, a receive will most likely find a datagram, and a look
    // before it would only delay it. The one receive in vain that ends such a
    // take costs about six looks under Wine, less than the looks it saves in
    // the deep backlogs of replies that come while requests still go out.
    kLookedTakes = 2,
    // The time between the sends of a detection is held to this share (percent)
    // of the time of the sends themselves, so that Detect blocks its caller not
    // much longer than a plain send loop would.
    kPacingPercent = 100,
};

enum : int32_t {
    kSendFailed = -1,  // what a refused send reports as its byte count
};

struct SendResult {
    int32_t nSent;         // bytes handed to the socket, or kSendFailed
    uint32_t dwErrorCode;  // the socket layer's last error code, read right after the send
};

struct ReceiveResult {
    ReceiveKind kind;
    // Bytes at pData: the datagram's length, or the buffer's size when it was
    // cut; -1 when no datagram was received.
    int32_t nCount;
    const uint8_t* pData;
    uint8_t abSource[4];     // network byte order, as the receive left it (zero when it wrote none)
    uint16_t ushSourcePort;  // host byte order
};

// The UDP socket of the detector.
class ProbeEndpoint {
public:
    // Whether a socket exists.
    virtual bool SocketOpen() const = 0;
    // Whether a socket and its receive buffer exist.
    virtual bool ReceiveReady() const = 0;
    // Sends size bytes to the dotted IPv4 text ip and port (host order).
    virtual SendResult Send(const uint8_t* data, uint32_t size, const char* ip, uint16_t port) = 0;
    // Takes one datagram off the socket without waiting.
    virtual ReceiveResult Receive() = 0;
    // Whether a datagram waits to be taken (true when the system cannot tell).
    // Cheaper than a receive that finds nothing, and unlike a receive it does not
    // ask the system for the next read notification.
    virtual bool DatagramWaiting() = 0;

protected:
    ~ProbeEndpoint() = default;
};

// Microseconds of a monotonic clock whose ticks (TickAt) are the detector's.
class ExchangeClock {
public:
    virtual uint64_t Microseconds() = 0;

protected:
    ~ExchangeClock() = default;
};

// The detector's log channel, as the exchange writes to it.
class ExchangeLog {
public:
    // Whether trace lines are written at all: the masks are fixed when the
    // channel is made, and no line is formatted for nothing.
    virtual bool TraceWanted() const = 0;
    virtual void TraceLine(const char* format, va_list args) = 0;
    virtual void ErrorLine(const char* format, va_list args) = 0;

protected:
    ~ExchangeLog() = default;
};

// Datagrams taken off the socket before they are handled, each with the tick of
// its arrival: replies that come in while requests still go out, and every
// datagram waiting when a read notification is handled. The queue is bounded;
// what does not fit stays in the socket's own buffer until there is room.
struct TakenDatagram {
    uint32_t dwArrivalTick;
    uint8_t abSource[4];                 // address, network byte order
    char szSource[16];                   // the same as text, for the sink
    uint16_t ushSourcePort;              // host byte order
    uint8_t nLength;                     // as received, but at most kReplyExaminedSize
    uint8_t abHead[kReplyExaminedSize];  // the bytes a reply is read from; zero after nLength
};

class ReplyQueue {
public:
    // Storage for `capacity` datagrams, dropping any queued. False without
    // memory, and the queue as it was.
    bool Reserve(uint32_t capacity);
    // Drops every queued datagram and gives the storage back.
    void Release();
    // Drops every queued datagram.
    void Clear() { nCount = 0; }

    uint32_t Capacity() const { return nCapacity; }
    uint32_t Size() const { return nCount; }
    bool Empty() const { return nCount == 0; }
    bool Full() const { return nCount == nCapacity; }
    // The slot at the back, to be filled by the caller. Not when Full().
    TakenDatagram& Push() { return pItems[(nFirst + nCount++) % nCapacity]; }
    // The oldest datagram, taken out; its slot holds it until the next Push.
    // Not when Empty().
    const TakenDatagram& Pop()
    {
        const TakenDatagram& oldest = pItems[nFirst];
        nFirst = (nFirst + 1) % nCapacity;
        --nCount;
        return oldest;
    }

private:
    std::unique_ptr<TakenDatagram[]> pItems;
    uint32_t nCapacity = 0;
    uint32_t nFirst = 0;
    uint32_t nCount = 0;
};

// One read notification in handling: where it stands between its steps. The
// detector keeps it for the length of the notification; the exchange keeps
// nothing of it.
struct ReadPass {
    bool bBegun;
    bool bDrained;      // a take found the socket empty after at most one datagram
    uint32_t nHandled;  // datagrams handled so far
    uint64_t qwBegan;   // the clock's reading at the first step
};

// What the detector is to do next for a read notification.
struct ReadStep {
    enum class Kind {
        kDone,            // nothing more: the notification is handled
        kReport,          // tell the sink of szIP, ushPort, dwRtt; then ask for the next step
        kEndDetection,    // the end of the detection is due: end it as its end timer would
        kReadAgainLater,  // the notification's bound is reached: ask for a turn after the thread's others
        kRefused,         // no reply is taken now, for `refusal`: say so in the log
    };
    Kind kind;
    Refusal refusal;
    char szIP[16];
    uint16_t ushPort;
    uint32_t dwRtt;
};

// What became of the datagrams handled since the detection started.
struct ReplyCounts {
    uint32_t nAccepted;
    uint32_t nRepeats;    // ReplyVerdict::kRepeat
    uint32_t nUnsent;     // ReplyVerdict::kUnsent: no request of ours carried the tick
    uint32_t nMalformed;  // too short, wrong command or zero tick
};

class ProbeExchange {
public:
    ProbeExchange(CandidateList& candidates, ProbeEndpoint& endpoint, ExchangeClock& clock, ExchangeLog& log);
    ProbeExchange(const ProbeExchange&) = delete;
    ProbeExchange& operator=(const ProbeExchange&) = delete;

    // Storage for the replies of a new socket. False without memory.
    bool ReserveReplyQueue();
    // Room to take a reply of every candidate while the requests go out. Without
    // memory for it, or while replies are queued, the queue stays as it is, and
    // replies it cannot hold wait on the socket.
    void MakeRoomForReplies(uint32_t candidates);
    // Drops the queued replies and gives the storage back.
    void ReleaseReplyQueue();
    bool HoldsReplyQueue() const { return replyQueue.Capacity() != 0; }

    // Requests sent again, at most, to a candidate that has not answered (up to
    // kMaxReprobes); 0, the default, sends one request per candidate.
    void SetReprobeCount(uint32_t count) { nReprobeCount = count < kMaxReprobes ? count : kMaxReprobes; }
    bool Reprobing() const { return nReprobeCount != 0; }

    // The detector takes replies from now on: it is initialised.
    void MarkInitialised() { bInitialised = true; }
    // Gives every candidate of a new detection its random origin, from
    // drawOrigins (random numbers that no server can predict; false when none
    // could be had), and forgets earlier requests. False, with no request
    // possible, when no origins could be had.
    bool PrepareRequests(bool (*drawOrigins)(uint32_t* origins, uint32_t count));
    // A detection starts now: the reporting window counts from here.
    void StartDetection();
    // The end timer was started, with this time limit, now; the detection has
    // not ended.
    void EndTimerStarted(uint32_t limitMs);
    // With re-probing on: asks again every candidate whose latest request has gone
    // unanswered for the retry time and that has re-probes left, at the pace of
    // SendToAll. Returns the ms until it should look again (the next candidate
    // due, but at most kRetryFloorMs, since replies may shorten the retry time
    // meanwhile), or 0 when no candidate can be asked again. Candidates whose
    // address no reply can come from are skipped.
    uint32_t Reprobe();
    // The detection has ended: replies taken but not yet handled came too late,
    // and later ones are refused until the next end timer starts.
    void DetectionEnded();
    bool EndTimerRunning() const { return bEndTimerRunning != 0; }
    // Whether the detection has ended (its end timer came).
    bool DetectionOver() const { return bEnded; }
    // Whether the end timer runs and its time has come.
    bool EndOfDetectionDue();

    // Builds and sends one request to a server with the probe state; non-zero
    // when the socket took it.
    int32_t SendRequest(const char* ip, uint16_t port, ProbeState& state);
    // One request to every candidate, in list order. Always non-zero.
    int32_t SendToAll(CandidateList& candidates);
    // Where the time of the last SendToAll went.
    const SendPhases& LastSendPhases() const { return lastSendPhases; }
    const ReplyCounts& Counts() const { return counts; }
    // Replies were taken while requests went out (SendToAll, Reprobe): they
    // need a read notification of their own.
    bool RepliesWaiting() const { return !replyQueue.Empty(); }

    // One step of a read notification, for a pass that starts zeroed and that
    // the caller keeps until kDone. The first step takes the end if it is due,
    // and is refused when the detection has ended. Each step takes and judges
    // datagrams until one is to be reported or none is left; no more than
    // kHandledPerNotification are handled in one notification. The caller,
    // whose socket and buffer must exist, does what the step says and asks for
    // the next, unless the sink released or finalised the detector.
    ReadStep NextReadStep(ReadPass& pass);

private:
    uint32_t Tick() { return TickAt(clock.Microseconds()); }
    // Whether replies are taken and handled: the detector is initialised and its
    // detection has not ended.
    bool AcceptingReplies() const { return bInitialised && !bEnded; }
    bool EndDueAt(uint64_t microseconds) const
    {
        return bEndTimerRunning && TickElapsed(dwEndTimerStart, TickAt(microseconds)) >= dwEndTimerLimit;
    }
    // Moves the datagrams waiting on the socket into the queue, each stamped with
    // the clock's reading when its receive returned, until none waits, the queue
    // is full or `limit` were taken; the clock is read once at `began` and once
    // after each datagram. lookFirst: the socket is looked at before every
    // receive, and a receive is made only for a datagram that waits. True when
    // the take ended because nothing more waited.
    bool TakeReplies(uint64_t began, bool lookFirst = false, uint32_t limit = UINT32_MAX);
    // Handles one taken datagram; true when it is to be reported, as `step`.
    bool HandleDatagram(const TakenDatagram& datagram, ReadStep& step);
    // Sends a request to every candidate that `chosen` picks, in list order, at
    // the pace described in SendToAll, and notes it in the candidate's state.
    template <class Choose>
    void SendPaced(CandidateList& candidates, Choose chosen);

    void Trace(const char* format, ...) LRD_FORMAT(2, 3);
    void Error(const char* format, ...) LRD_FORMAT(2, 3);

    CandidateList& candidateList;
    ProbeEndpoint& endpoint;
    ExchangeClock& clock;
    ExchangeLog& log;
    const bool bTraceWanted;
    bool bInitialised = false;
    bool bEnded = false;
    ReplyCounts counts = {};
    // The request sequence counter: the next request's number.
    uint32_t dwSeq;
    // Tick at the start of the current detection, from which the reporting window
    // counts (the exchange's creation until the first detection).
    uint32_t dwStartTick;
    ReplyQueue replyQueue;
    // What taking one datagram costs here, smoothed over the takes so far
    // (microseconds). While replies come in, requests are spaced this far apart.
    uint32_t nTakeCostUs;
    // Where the time of the last SendToAll went, and the socket calls it made.
    SendPhases lastSendPhases = {};
    uint32_t nLookCalls = 0;
    uint32_t nReceiveCalls = 0;
    // The end timer as last started: running, since when, for how long.
    int32_t bEndTimerRunning;
    uint32_t dwEndTimerStart;
    uint32_t dwEndTimerLimit;
    uint32_t nReprobeCount;
    RetrySchedule retrySchedule;
};
