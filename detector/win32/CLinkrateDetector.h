// CLinkrateDetector, component 39: probes a list of servers over UDP, reports
// every reply to the caller's sink while the detection runs, ends the detection
// when the caller's time limit expires, and hands back the servers best first.
//
// A detector lives on one thread: the thread that calls Initialize and Detect
// owns its window, socket notifications and timers, and must dispatch messages.
// Detect on another thread is refused. Each operation leaves the thread's last
// error as LastError.h says.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "CandidateList.h"
#include "ComponentBase.h"
#include "DetectPhases.h"
#include "ExchangeLines.h"
#include "LogChannel.h"
#include "NotificationWindow.h"
#include "ProbeExchange.h"
#include "Refusal.h"
#include "SystemRandom.h"
#include "TimerService.h"
#include "UdpEndpoint.h"
#include "WinSockStartup.h"

enum : int32_t {
    DETECT_TIMER_ID = 1,   // timer service key that ends a detection
    REPROBE_TIMER_ID = 2,  // looks for silent candidates to ask again, with re-probing on
};

// The window procedure's way to the detector whose window a message reached.
extern "C" void __stdcall LrdDeliverWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

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

    // Where the time of the last accepted Detect went; for benchmarks that build
    // the detector into their own process.
    const DetectPhases& LastDetectPhases() const { return lastDetectPhases; }
    // What became of the datagrams of the current or last detection.
    const ReplyCounts& Replies() const { return probeExchange.Counts(); }

    // The creator registered under component id 39.
    static IComponent* Create();
    // Every message of a detector's window, with the module held.
    friend void __stdcall ::LrdDeliverWindowMessage(HWND, UINT, WPARAM, LPARAM);

private:
    // The end of a detection, whoever takes it: the end timer, a read
    // notification that finds it due, Finalize and the release. The timers stop,
    // the exchange takes the end (replies still queued are dropped and later ones
    // refused); with tellSink the sink hears OnDetectFinished as the last step.
    void EndDetection(bool tellSink);
    // Timer DETECT_TIMER_ID.
    void OnDetectTimer();
    // Timer REPROBE_TIMER_ID.
    void OnReprobeTimer();
    // The module's settings from the framework's configuration file.
    void ApplySettings();
    // A refused call and a failed step: the "exit fail" line, the line of the
    // reason, and the code the operation leaves as the last error (dwCallError).
    // Both return 0.
    int32_t Refuse(const char* operation, Refusal refusal);
    int32_t FailStep(const char* operation, const char* step, uint32_t systemError, uint32_t lastError);
    // Refuses a Detect whose list (count servers, at most capacity) or whose
    // detector's state or thread does not allow it.
    bool RefuseDetect(bool listNull, int64_t count, int64_t capacity);
    void PrintList();
    // Initialised, and not finalised since: Finalize closes the socket for good
    // (bInit stays set, so Initialize stays refused).
    bool ReadyToDetect() const { return bInit && udpEndpoint.SocketOpen(); }
    // Finalize closes the socket but keeps bInit: that is how a finalised
    // detector looks.
    bool Finalised() const { return bInit && !udpEndpoint.SocketOpen(); }

    // Requests and replies, through the probe exchange.
    int32_t OnTimeout();
    // What a message of the detector's window asks, carried out.
    void OnWindowNotice(NotificationWindow::Notice notice);
    // A read notification: the exchange's steps carried out, the sink's calls
    // among them.
    void OnRead();
    // Replies taken while requests went out get a read notification of their own.
    void NotifyRepliesWaiting();

    // Notification window and socket.
    int32_t CreateLRDWindow();
    int32_t CreateSocket();
    int32_t SetSocketTimeout(int32_t milliseconds);
    void Cleanup();
    int32_t DestoryLRDWindow();
    int32_t CloseSocket();
    // Whether anything of a window or socket set-up is held.
    bool HoldsResources() const;

    ILinkrateDetectorSink* pSink;
    int32_t bInit;
    CandidateList candidateList;
    int32_t bDetecting;
    // The thread that initialised the detector, whose window and timers these are
    // (0 before Initialize).
    DWORD dwOwnerThread;
    // The last error the operation in progress leaves: its refusal's or failed
    // step's code, 0 while nothing failed.
    uint32_t dwCallError;
    // The socket with its receive buffer, and the exchange over it, which holds
    // the request counter, the detection's start and its end.
    UdpEndpoint udpEndpoint;
    SystemClock systemClock;
    ExchangeLines exchangeLines;
    ProbeExchange probeExchange;
    NotificationWindow notificationWindow;
    DetectPhases lastDetectPhases = {};
};
