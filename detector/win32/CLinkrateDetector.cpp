#include "CLinkrateDetector.h"

#include <time.h>

#include <new>

#include "FactoryLocator.h"
#include "LastError.h"
#include "Random.h"

namespace {

const char kInitialize[] = "CLinkrateDetector::Initialize()";
const char kFinalize[] = "CLinkrateDetector::Finalize()";
const char kDetect[] = "CLinkrateDetector::Detect()";
const char kGetSortedIPArray[] = "CLinkrateDetector::GetSortedIPArray()";
const char kOnRead[] = "CLinkrateDetector::OnRead()";

// Each server's random tick origin, from the system's cryptographic generator.
bool DrawTickOrigins(uint32_t* origins, uint32_t count) { return DrawSystemRandom(origins, count * sizeof *origins); }

enum : int32_t {
    kTextListCapacity = 64,  // records in the server list the text-list form builds
    kTextListPort = 8000,
};

}  // namespace

IComponent* CLinkrateDetector::Create()
{
    return new (std::nothrow) CLinkrateDetector();
}

CLinkrateDetector::CLinkrateDetector()
    : exchangeLines(*this),
      probeExchange(candidateList, udpEndpoint, systemClock, exchangeLines),
      notificationWindow(*this)
{
    Trace("CLinkrateDetector::CLinkrateDetector()");
    bDetecting = 0;
    pSink = nullptr;
    bInit = 0;
    dwOwnerThread = 0;
    dwCallError = 0;
    SeedRandom((uint32_t)time(nullptr));
    ApplySettings();
}

void CLinkrateDetector::ApplySettings()
{
    // Only a value that is not taken writes a line: a file without the module's
    // section leaves the detector's lines as they always were.
    class Problems final : public SettingProblems {
    public:
        explicit Problems(CLinkrateDetector& detector) : detector(detector) {}
        void Refused(const SettingDefinition& definition, const char* value) override
        {
            detector.Error("configuration [%s] %s=[%s] is not a number from %u to %u, %u is used", kModuleSection,
                           definition.key, value, definition.least, definition.most, definition.fallback);
        }

    private:
        CLinkrateDetector& detector;
    };
    ModuleSettings settings;
    Problems problems(*this);
    LoadModuleSettings(settings, problems);
    probeExchange.SetReprobeCount(settings.Get(Setting::kReprobeCount));
}

// The candidate list goes first, then the bases in reverse order: the timer
// service kills its timers, the WinSock reference is dropped.
CLinkrateDetector::~CLinkrateDetector() {}

int32_t CLinkrateDetector::Refuse(const char* operation, Refusal refusal)
{
    Error("%s exit fail", operation);
    Refused(operation, RefusalText(refusal));
    dwCallError = RefusalLastError(refusal);
    return 0;
}

int32_t CLinkrateDetector::FailStep(const char* operation, const char* step, uint32_t systemError,
                                    uint32_t lastError)
{
    Error("%s exit fail", operation);
    StepFailed(operation, step, systemError);
    dwCallError = lastError;
    return 0;
}

int32_t CLinkrateDetector::Initialize(ILinkrateDetectorSink* sink)
{
    LastErrorOnReturn lastError;
    auto guard = EnterCall();
    dwCallError = 0;
    if (pSink != nullptr || bInit) {
        Refuse(kInitialize, Finalised() ? Refusal::kFinalised : Refusal::kAlreadyInitialised);
        return lastError.Return(0, dwCallError);
    }
    pSink = sink;
    bInit = 0;
    dwOwnerThread = GetCurrentThreadId();
    if (CreateLRDWindow() && CreateSocket()) {
        bInit = 1;
        probeExchange.MarkInitialised();
    } else {
        // What the steps before the failed one made goes again: a window left
        // open would point at this detector after its release, and at this
        // module's code after an unload.
        const uint32_t failedStepError = dwCallError;
        Cleanup();
        dwCallError = failedStepError;
    }
    // Accepted also when a step failed: that step's code is the last error.
    return lastError.Return(1, dwCallError);
}

int32_t CLinkrateDetector::Finalize()
{
    LastErrorOnReturn lastError;
    auto guard = EnterCall();
    dwCallError = 0;
    int32_t result = 0;
    if (bInit) {
        Cleanup();
        result = 1;
    } else {
        Refuse(kFinalize, Refusal::kNotInitialised);
        // An Initialize whose window or socket step failed still made part of the
        // set-up; give it back rather than leak it for the life of the thread.
        if (HoldsResources())
            Cleanup();
    }
    // An end timer left running would only tick into a detection that is gone.
    if (bDetecting)
        EndDetection(false);
    bDetecting = 0;
    candidateList.Clear();
    pSink = nullptr;
    notificationWindow.Forget();
    return lastError.Return(result, dwCallError);
}

int32_t CLinkrateDetector::Detect(IPStringList* list, uint32_t timeLimitMs)
{
    LastErrorOnReturn lastError;
    auto guard = EnterCall();
    dwCallError = 0;
    // The server list built here has room for 64 records; a longer text list is
    // refused rather than written past it.
    if (RefuseDetect(list == nullptr, list != nullptr ? list->nCount : 0, kTextListCapacity))
        return lastError.Return(0, dwCallError);
    Trace("%s exit success", kDetect);

    alignas(ServerList) uint8_t storage[LRD_SERVER_LIST_SIZE(kTextListCapacity)] = {};
    ServerList* servers = reinterpret_cast<ServerList*>(storage);
    servers->ushCount = (uint16_t)list->nCount;
    for (int32_t i = 0; i < list->nCount; ++i) {
        ServerInfo& server = servers->servers[i];
        const char* text = list->szIP[i];
        // The slot is 16 bytes: a text without a terminator inside it is not copied.
        const void* end = memchr(text, '\0', sizeof list->szIP[i]);
        if (end != nullptr)
            memcpy(server.szAddr, text, (const char*)end - text + 1);
        server.ushPort = kTextListPort;
    }
    // Through the interface, as a host would call it: the record-list form writes
    // its own lines and leaves its own last error.
    ILinkrateDetector* self = this;
    const int32_t result = self->Detect(servers, timeLimitMs);
    return lastError.Return(result, GetLastError());
}

bool CLinkrateDetector::RefuseDetect(bool listNull, int64_t count, int64_t capacity)
{
    const DWORD thread = GetCurrentThreadId();
    Refusal refusal;
    if (!DetectRefusal(listNull, count, capacity, bInit, Finalised(), dwOwnerThread != thread, bDetecting,
                       probeExchange.DetectionOver(), refusal))
        return false;
    if (refusal != Refusal::kWrongThread) {
        Refuse(kDetect, refusal);
        return true;
    }
    Error("%s exit fail", kDetect);
    Error("%s refused: %s: called on thread [%u], initialised on thread [%u]", kDetect, RefusalText(refusal),
          (uint32_t)thread, (uint32_t)dwOwnerThread);
    dwCallError = RefusalLastError(refusal);
    return true;
}

int32_t CLinkrateDetector::Detect(ServerList* list, uint32_t timeLimitMs)
{
    LastErrorOnReturn lastError;
    auto guard = EnterCall();
    dwCallError = 0;
    if (RefuseDetect(list == nullptr, list != nullptr ? list->ushCount : 0, UINT16_MAX))
        return lastError.Return(0, dwCallError);
    Trace("%s exit success", kDetect);

    DetectPhases phases = {};
    phases.nCandidates = list->ushCount;
    const uint64_t start = systemClock.Microseconds();
    candidateList.Clear();
    for (uint32_t i = 0; i < list->ushCount; ++i) {
        if (!candidateList.InsertServer(list->servers[i])) {
            // Out of memory: no half-filled detection is started.
            candidateList.Clear();
            Refuse(kDetect, Refusal::kOutOfMemory);
            return lastError.Return(0, dwCallError);
        }
    }
    uint64_t phaseStart = start;
    // The time since the last phase ended, which ends the next one.
    auto lap = [&] {
        uint64_t now = systemClock.Microseconds();
        uint64_t spent = now - phaseStart;
        phaseStart = now;
        return spent;
    };
    // Each server's ticks start at a random origin of its own; without the
    // system's generator no detection starts.
    if (!probeExchange.PrepareRequests(&DrawTickOrigins)) {
        const DWORD error = GetLastError();
        candidateList.Clear();
        FailStep(kDetect, "RtlGenRandom (the servers' tick origins)", error, error != 0 ? error : ERROR_GEN_FAILURE);
        return lastError.Return(0, dwCallError);
    }
    phases.qwFillUs = lap();
    PrintList();
    phases.qwPrintUs = lap();
    probeExchange.MakeRoomForReplies(candidateList.Size());
    phases.qwReserveUs = lap();

    if (timeLimitMs != 0) {
        StopTimer(DETECT_TIMER_ID);
        // The end timer is made before any request goes out: a detection that
        // could never end is refused, not started.
        if (!StartTimer(DETECT_TIMER_ID, timeLimitMs, &CLinkrateDetector::OnDetectTimer)) {
            const DWORD error = GetLastError();
            candidateList.Clear();
            FailStep(kDetect, "SetTimer (the end timer)", error, error != 0 ? error : ERROR_NO_SYSTEM_RESOURCES);
            return lastError.Return(0, dwCallError);
        }
    }

    phases.qwTimerUs = lap();

    bDetecting = 1;
    probeExchange.StartDetection();
    // While the requests go out, the exchange takes what arrives itself. Read
    // events meanwhile would only cost: every receive asks for the next one, and
    // under Wine each datagram after it then wakes Wine's server to post a
    // message, served between our sends (a list of answering servers sent three
    // times slower than a plain loop did). Asked for again afterwards, the
    // system posts an event for a datagram that already waits; one of the
    // window's own is posted as well, so that a reply that came between the last
    // look and the request is not left to the next one's event.
    const bool pauseReads = udpEndpoint.SocketOpen() && notificationWindow.Held();
    if (pauseReads)
        notificationWindow.PauseReads(udpEndpoint.Socket());
    int32_t result = probeExchange.SendToAll(candidateList);
    if (pauseReads) {
        if (!notificationWindow.NotifyReads(udpEndpoint.Socket())) {
            dwCallError = (uint32_t)WSAGetLastError();
            StepFailed(kDetect, "WSAAsyncSelect", dwCallError);
        }
        notificationWindow.PostRead(udpEndpoint.Socket());
    }
    lap();
    if (timeLimitMs != 0) {
        // The time limit counts from the end of the sends. Should the timer not
        // start anew, it ends the detection as first set, somewhat earlier.
        RestartTimer(DETECT_TIMER_ID);
        probeExchange.EndTimerStarted(timeLimitMs);
    }
    // Without its timer the detection runs as with one request per server.
    if (probeExchange.Reprobing())
        StartTimer(REPROBE_TIMER_ID, kRetryFloorMs, &CLinkrateDetector::OnReprobeTimer);
    phases.qwTimerUs += lap();
    phases.sends = probeExchange.LastSendPhases();
    phases.qwTotalUs = phaseStart - start;
    lastDetectPhases = phases;
    return lastError.Return(result, dwCallError);
}

int32_t CLinkrateDetector::GetSortedIPArray(IPInfoArray* out)
{
    LastErrorOnReturn lastError;
    auto guard = EnterCall();
    dwCallError = 0;
    if (out == nullptr || !bDetecting) {
        Refuse(kGetSortedIPArray, out == nullptr ? Refusal::kNullResultBuffer : Refusal::kNoDetection);
        return lastError.Return(0, dwCallError);
    }
    Trace("%s exit success", kGetSortedIPArray);
    candidateList.Sort();
    candidateList.WriteOut(out);
    PrintList();
    return lastError.Return(1, 0);
}

void CLinkrateDetector::OnDetectTimer() { EndDetection(true); }

void CLinkrateDetector::OnReprobeTimer()
{
    // A steady stream of read notifications holds back every timer of the
    // thread, and the end timer may be due behind this one: the end comes first.
    if (probeExchange.EndOfDetectionDue()) {
        EndDetection(true);  // the sink may release the detector: nothing after this
        return;
    }
    uint32_t nextMs = probeExchange.Reprobe();
    NotifyRepliesWaiting();
    if (nextMs == 0)
        StopTimer(REPROBE_TIMER_ID);
    else
        StartTimer(REPROBE_TIMER_ID, nextMs, &CLinkrateDetector::OnReprobeTimer);
}

void CLinkrateDetector::EndDetection(bool tellSink)
{
    StopTimer(DETECT_TIMER_ID);
    if (probeExchange.Reprobing())
        StopTimer(REPROBE_TIMER_ID);
    probeExchange.DetectionEnded();
    // The sink may release the detector: nothing may touch it after this call.
    if (tellSink && pSink != nullptr && !ReleasedElsewhere())
        pSink->OnDetectFinished();
}

void CLinkrateDetector::PreDestroy()
{
    Trace("CLinkrateDetector::~CLinkrateDetector()");
    // The window and the timers belong to the thread that initialised the
    // detector and cannot be destroyed from here; Cleanup and the end step cut
    // them off, so that what is still queued there finds nothing.
    const DWORD thread = GetCurrentThreadId();
    if (dwOwnerThread != 0 && dwOwnerThread != thread &&
        (notificationWindow.Held() || probeExchange.EndTimerRunning()))
        Error("CLinkrateDetector released on thread [%u], not on thread [%u] that initialised it: its late messages "
              "there are ignored",
              (uint32_t)thread, (uint32_t)dwOwnerThread);
    Cleanup();
    EndDetection(false);
}

void CLinkrateDetector::Cleanup()
{
    Trace("CLinkrateDetector::Cleanup()");
    CloseSocket();
    DestoryLRDWindow();
    udpEndpoint.FreeReceiveBuffer();
    probeExchange.ReleaseReplyQueue();
}

bool CLinkrateDetector::HoldsResources() const
{
    return notificationWindow.Held() || udpEndpoint.SocketOpen() || udpEndpoint.HoldsReceiveBuffer() ||
           probeExchange.HoldsReplyQueue();
}


int32_t CLinkrateDetector::OnTimeout()
{
    const int32_t result = probeExchange.SendToAll(candidateList);
    NotifyRepliesWaiting();
    return result;
}

// The window procedure hands every message of a detector's window on to here:
// the one place where the window's messages reach the detector. The window's
// holder is the detector it is a part of.
extern "C" void __stdcall LrdDeliverWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    NotificationWindow* notificationWindow = NotificationWindow::TakeHold(window);
    if (notificationWindow == nullptr)
        return;
    DispatchHolder& holder = notificationWindow->Holder();
    static_cast<CLinkrateDetector&>(holder).OnWindowNotice(notificationWindow->TakeNotice(message, wParam, lParam));
    // The detector may be gone after this.
    holder.EndDispatchHold();
}

void CLinkrateDetector::OnWindowNotice(NotificationWindow::Notice notice)
{
    // A read notification takes whatever waits on the detector's one socket.
    if (notice == NotificationWindow::Notice::kRead)
        OnRead();
    else if (notice == NotificationWindow::Notice::kResend)
        OnTimeout();
}

void CLinkrateDetector::NotifyRepliesWaiting()
{
    if (probeExchange.RepliesWaiting())
        notificationWindow.PostRead(udpEndpoint.Socket());
}

void CLinkrateDetector::OnRead()
{
    if (!udpEndpoint.ReceiveReady()) {
        Refuse(kOnRead, Refusal::kNoSocket);
        return;
    }
    // The one place where the sink hears of replies. The sink may pump messages
    // (a nested notification then makes a pass of its own), call the detector
    // back, end or finalise the detection, or release the detector: after each
    // call the pass goes on only while the detector is whole, not released on
    // another thread, and still has its socket. A release on this thread tears
    // the detector down at once and leaves only the destruction, to the window
    // procedure's hold, so the object itself is still there to be asked.
    ReadPass pass = {};
    for (;;) {
        const ReadStep step = probeExchange.NextReadStep(pass);
        switch (step.kind) {
        case ReadStep::Kind::kDone:
            return;
        case ReadStep::Kind::kEndDetection:
            EndDetection(true);
            return;
        case ReadStep::Kind::kReadAgainLater:
            notificationWindow.ReadAgainLater(udpEndpoint.Socket());
            return;
        case ReadStep::Kind::kRefused:
            Refuse(kOnRead, step.refusal);
            return;
        case ReadStep::Kind::kReport:
            if (ReleasedElsewhere())
                return;
            if (pSink == nullptr)
                break;
            pSink->OnIPDetected(step.szIP, step.ushPort, step.dwRtt);
            if (bAlive == 0 || ReleasedElsewhere() || !udpEndpoint.ReceiveReady())
                return;
            break;
        }
    }
}

void CLinkrateDetector::PrintList()
{
    Trace("Detected iparray size is [%d],list infomation is:", (int32_t)candidateList.Size());
    int32_t position = 0;
    candidateList.Walk([&](const IPInfo& candidate) {
        Trace("ip[%d]=[%s],timeout=[%u]", ++position, candidate.szIP, candidate.dwRTT);
    });
}

// The socket and window steps, in the detector's order of steps, each step's
// platform part done by the UDP endpoint or the notification window.
namespace {

const char kCreateSocket[] = "CLinkrateDetector::CreateSocket()";
const char kSetSocketTimeout[] = "CLinkrateDetector::SetSocketTimeout()";

}  // namespace

int32_t CLinkrateDetector::CreateSocket()
{
    // Each step keeps what it made on failure; Cleanup gives it back. The
    // failed step's error code is taken before any line is written.
    auto refuse = [this](Refusal refusal) { return Refuse(kCreateSocket, refusal); };
    auto fail = [this](const char* step, uint32_t errorCode) {
        return FailStep(kCreateSocket, step, errorCode, errorCode);
    };
    auto noMemory = [this](const char* step) { return FailStep(kCreateSocket, step, 0, ERROR_NOT_ENOUGH_MEMORY); };
    if (udpEndpoint.SocketOpen())
        return refuse(Refusal::kSocketExists);
    if (!notificationWindow.Held())
        return refuse(Refusal::kNoWindow);
    if (!udpEndpoint.Open())
        return fail("socket", WSAGetLastError());
    if (!udpEndpoint.SetNonBlocking())
        return fail("ioctlsocket FIONBIO", WSAGetLastError());
    udpEndpoint.StopResetReports();
    udpEndpoint.ReadReceiveBufferSize();
    if (!udpEndpoint.AllocateReceiveBuffer())
        return noMemory("memory-service allocation of the receive buffer (no memory service, or it gave no buffer)");
    if (!probeExchange.ReserveReplyQueue())
        return noMemory("allocation of the reply queue");
    udpEndpoint.WidenSocketBuffer();
    // SetSocketTimeout names its failed call and code itself, and leaves its code.
    if (!SetSocketTimeout(1000))
        return FailStep(kCreateSocket, "SetSocketTimeout", 0, dwCallError);
    if (!notificationWindow.NotifyReads(udpEndpoint.Socket()))
        return fail("WSAAsyncSelect", WSAGetLastError());
    return 1;
}

int32_t CLinkrateDetector::SetSocketTimeout(int32_t milliseconds)
{
    if (!udpEndpoint.SocketOpen())
        return Refuse(kSetSocketTimeout, Refusal::kNoSocket);
    if (!udpEndpoint.SetTimeouts(milliseconds)) {
        const uint32_t error = WSAGetLastError();
        return FailStep(kSetSocketTimeout, "setsockopt SO_RCVTIMEO/SO_SNDTIMEO", error, error);
    }
    return 1;
}

int32_t CLinkrateDetector::CloseSocket()
{
    udpEndpoint.Close();
    return 1;
}

// The detector's window steps, each done by its notification window.
namespace {

const char kCreateLRDWindow[] = "CLinkrateDetector::CreateLRDWindow()";
const char kDestoryLRDWindow[] = "CLinkrateDetector::DestoryLRDWindow()";

}  // namespace

int32_t CLinkrateDetector::CreateLRDWindow()
{
    if (notificationWindow.Create())
        return 1;
    const uint32_t error = notificationWindow.FailedError();
    return FailStep(kCreateLRDWindow, notificationWindow.FailedStep(), error,
                    error != 0 ? error : ERROR_CANNOT_FIND_WND_CLASS);
}

int32_t CLinkrateDetector::DestoryLRDWindow()
{
    if (notificationWindow.Destroy()) {
        Trace("%s exit success", kDestoryLRDWindow);
        return 1;
    }
    const uint32_t error = notificationWindow.FailedError();
    return FailStep(kDestoryLRDWindow, notificationWindow.FailedStep(), error,
                    error != 0 ? error : ERROR_INVALID_WINDOW_HANDLE);
}
