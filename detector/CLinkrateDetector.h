// CLinkrateDetector, component 39: probes a list of servers over UDP, reports
// every reply to the caller's sink while the detection runs, ends the detection
// when the caller's time limit expires, and hands back the servers best first.
//
// A detector lives on one thread: the thread that calls Initialize and Detect
// owns its window, socket notifications and timers, and must dispatch messages.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "CandidateList.h"
#include "ComponentBase.h"
#include "LogChannel.h"
#include "ReplyQueue.h"
#include "TimerService.h"
#include "WinSockStartup.h"

enum : int32_t {
    DETECT_TIMER_ID = 1,          // timer service key that ends a detection
    LRD_TIMEOUT_TIMER_ID = 2321,  // window timer that re-sends every request
};

enum : UINT {
    WM_LRD_SOCKET = 13098,  // socket read events posted to the window
};

enum : uint32_t {
    // The detector's own receive buffer: room for the largest datagram, however
    // large the socket's buffer is.
    kMaxReceiveBuffer = 65536,
    // The socket's buffer: room for the replies of a few thousand servers that
    // answer at once. The system may grant less.
    kSocketReceiveBuffer = 4 * 1024 * 1024,
    // Room for datagrams taken off the socket and not yet handled: this many from
    // the start, and one per candidate of a detection with more.
    kInitialReplyQueue = 64,
    // Datagrams handled in one read notification at most, so that timers and
    // other windows of the thread get their turn; the rest come with the next.
    kHandledPerNotification = 1024,
    // What taking one datagram off the socket is assumed to cost (microseconds)
    // until this detector has measured it: about what it costs under Wine on
    // loopback, where it is two to three times the cost of a send.
    kAssumedTakeCostUs = 80,
    // While no reply comes in during the sends, the socket is looked at once in
    // this many sends: a look costs about as much as a send.
    kSendsPerQuietLook = 8,
    // The time between the sends of a detection is held to this share (percent)
    // of the time of the sends themselves, so that Detect blocks its caller not
    // much longer than a plain send loop would.
    kPacingPercent = 100,
};

class CLinkrateDetector : public CComponentBase<ILinkrateDetector, LRD_DETECTOR_ID, 1>,
                          public CLogChannel,
                          public CWinSockStartup,
                          public CTimerService<CLinkrateDetector> {
public:
    CLinkrateDetector();
    ~CLinkrateDetector() override;

    // ILinkrateDetector
    int32_t LRD_THISCALL Initialize(ILinkrateDetectorSink* sink) override;
    int32_t LRD_THISCALL Finalize() override;
    int32_t LRD_THISCALL Detect(IPStringList* list, uint32_t timeLimitMs) override;
    int32_t LRD_THISCALL Detect(ServerList* list, uint32_t timeLimitMs) override;
    int32_t LRD_THISCALL GetSortedIPArray(IPInfoArray* out) override;

    void PreDestroy() override;

    // The creator registered under component id 39.
    static IComponent* Create();

private:
    // End of a detection: timer DETECT_TIMER_ID.
    void OnDetectTimer();
    // Whether the end timer runs and its time has come.
    bool EndOfDetectionDue() const;
    void PrintList();

    // Requests and replies.
    int32_t SendRequest(const char* ip, uint16_t port);
    int32_t SendToAll(const CandidateList& candidates);
    void OnRead(SOCKET socket, int32_t errorCode);
    int32_t OnTimeout();

    // One handling of read notifications in progress. A sink may pump messages,
    // so they can nest; PreDestroy marks every one, and each then returns at once
    // without touching the detector, which may be freed by then.
    struct ReadScope {
        bool detectorGone;
        ReadScope* outer;
    };
    // Whether replies are taken and handled: the socket and buffer exist, the
    // detector is initialised and its detection has not ended.
    bool AcceptingReplies() const;
    // Moves the datagrams waiting on the socket into the queue, each with the
    // tick at which its receive began, until none waits or the queue is full.
    void TakeReplies();
    // Handles one taken datagram. False when the sink's call ended the
    // detector's life.
    bool HandleDatagram(const TakenDatagram& datagram, const ReadScope& scope);
    // Queued datagrams are handled from a read notification only.
    void PostReadNotification();

    // Notification window and socket.
    static LRESULT CALLBACK LRDWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    int32_t CreateLRDWindow();
    int32_t CreateSocket();
    int32_t SetSocketTimeout(int32_t milliseconds);
    void Cleanup();
    int32_t DestoryLRDWindow();
    int32_t CloseSocket();
    // Whether anything of a window or socket set-up is held.
    bool HoldsResources() const;

    HWND hWnd;
    SOCKET hSocket;
    ILinkrateDetectorSink* pSink;
    uint8_t* pRecvBuf;
    int32_t nRecvBufSize;
    int32_t bInit;
    uint32_t dwSeq;
    uint32_t dwStartTick;
    CandidateList candidateList;
    int32_t bDetecting;
    int32_t bFinished;
    // The end timer as last started: running, since when, for how long.
    int32_t bEndTimerRunning;
    uint32_t dwEndTimerStart;
    uint32_t dwEndTimerLimit;
    ReplyQueue replyQueue;
    ReadScope* pReadScopes;
    // What taking one datagram costs here, smoothed over the takes so far
    // (microseconds). While replies come in, requests are spaced this far apart.
    uint32_t nTakeCostUs;
    // The thread that initialised the detector, whose window and timers these are
    // (0 before Initialize).
    DWORD dwOwnerThread;
};
