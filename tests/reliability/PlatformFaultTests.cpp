// Windows behaviour that Wine does not show, made through the module's import
// table: a receive that reports an ICMP error between two replies, executable
// memory refused, a timer that cannot be made, and DestroyWindow refused on a
// thread that does not own the window.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <atomic>
#include <iterator>
#include <thread>

#include "DebugCapture.h"
#include "DetectorHarness.h"
#include "ImportFaults.h"
#include "LoopbackResponder.h"
#include "MessagePump.h"

namespace {

// A port on 127.0.0.1 where nothing listens.
const uint16_t kNobody = 9;
// ERROR_DYNAMIC_CODE_BLOCKED, what a code-integrity policy answers.
const DWORD kDynamicCodeBlocked = 1655;

size_t CountMatching(const DebugCapture& capture, const std::string& fragment)
{
    return capture.Matching(fragment).size();
}

// Polls the responders until each has answered a request.
bool AnswerEach(std::initializer_list<LoopbackResponder*> responders)
{
    DWORD start = GetTickCount();
    for (;;) {
        bool all = true;
        for (LoopbackResponder* responder : responders) {
            responder->Poll();
            all = all && !responder->Requests().empty();
        }
        if (all)
            return true;
        if (GetTickCount() - start > 5000)
            return false;
        Sleep(1);
    }
}

class PlatformFaults : public ::testing::Test {
protected:
    PlatformFaults()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~PlatformFaults() override
    {
        EXPECT_EQ(harness.module.ZelvoDllCanUnloadNow(), 1);
        EXPECT_EQ(harness.Counters().allocations, harness.Counters().frees);
        EXPECT_EQ(FindDetectorWindow(), nullptr);
        WSACleanup();
    }

    DetectorHarness harness{3};
    // Declared after the module: the table is restored before the module goes.
    ImportFaults faults{harness.module.Handle()};
};

// No request goes to an address no server can answer from: 0.0.0.0/8 (0.0.0.0
// reaches this machine), multicast 224.0.0.0/4 (every host of the segment) and
// 240.0.0.0/4 with the broadcast address, where text that does not convert goes.
// Each gets its send line with -1, "error" and WSAEADDRNOTAVAIL and stays silent.
// Should one reach sendto all the same, the call fails here and goes nowhere.
TEST_F(PlatformFaults, NoRequestToAnAddressNoServerAnswersFrom)
{
    faults.FailWhen(PlatformCall::sendto, [](const uintptr_t* args) {
        return reinterpret_cast<const sockaddr_in*>(args[4])->sin_addr.S_un.S_un_b.s_b1 != 127;
    });
    const char* never[] = {"0.0.0.0", "0.1.2.3", "224.0.0.1", "239.255.255.255", "240.0.0.1", "255.255.255.255",
                           "no.such.address"};
    LoopbackResponder server;
    ServerListBuffer servers;
    for (const char* address : never)
        servers.Add(address, server.Port());
    servers.Add("127.0.0.1", server.Port());
    DebugCapture capture;
    RecordingSink sink;
    ILinkrateDetector* detector = harness.NewDetector();
    ASSERT_EQ(detector->Initialize(&sink), 1);
    ASSERT_EQ(detector->Detect(servers.List(), 0), 1);
    ASSERT_TRUE(PumpUntil([&] {
        server.Poll();
        return !sink.reports.empty();
    }));
    EXPECT_EQ(faults.Calls(PlatformCall::sendto), 1u) << "only the request to 127.0.0.1 was sent";
    for (const char* address : never) {
        const std::string line = std::string("sent [-1] bytes to [") + address + ":" + std::to_string(server.Port()) +
                                 "] [error]";
        std::vector<std::string> lines = capture.Matching(line);
        ASSERT_EQ(lines.size(), 1u) << line;
        EXPECT_NE(lines[0].find(",errorcode=[" + std::to_string(WSAEADDRNOTAVAIL) + "]"), std::string::npos)
            << lines[0];
    }
    ResultBuffer result((uint32_t)(std::size(never) + 1));
    ASSERT_EQ(detector->GetSortedIPArray(result.Array()), 1);
    EXPECT_STREQ(result.Array()->info[0].szIP, "127.0.0.1");
    for (uint32_t i = 1; i <= std::size(never); ++i)
        EXPECT_EQ(result.Array()->info[i].dwRTT, 5000u) << result.Array()->info[i].szIP;
    EXPECT_EQ(detector->Finalize(), 1);
    detector->Release(0);
}

TEST_F(PlatformFaults, ConnectionResetBetweenRepliesIsSkipped)
{
    LoopbackResponder first, second;
    ServerListBuffer servers;
    servers.Add("127.0.0.1", first.Port());
    servers.Add("127.0.0.1", kNobody);
    servers.Add("127.0.0.1", second.Port());
    DebugCapture capture;
    RecordingSink sink;
    size_t takenAtFirstReport = 0;
    sink.onReport = [&] {
        if (sink.reports.size() == 1)
            takenAtFirstReport = CountMatching(capture, "recv udp [16]bytes");
    };
    ILinkrateDetector* detector = harness.NewDetector();
    // The socket option is asked for; its refusal is not fatal.
    faults.Fail(PlatformCall::WSAIoctl, 1);
    ASSERT_EQ(detector->Initialize(&sink), 1);
    EXPECT_EQ(faults.Failures(PlatformCall::WSAIoctl), 1u) << "SIO_UDP_CONNRESET asked for";
    ASSERT_EQ(detector->Detect(servers.List(), 0), 1);

    // Both replies wait on the socket; the receive between them reports the port
    // where nothing listens, as Windows does.
    ASSERT_TRUE(AnswerEach({&first, &second}));
    Sleep(50);
    faults.Fail(PlatformCall::recvfrom, 2, WSAECONNRESET);
    ASSERT_TRUE(PumpUntil([&] { return sink.reports.size() == 2; }, 5000));
    EXPECT_EQ(faults.Failures(PlatformCall::recvfrom), 1u);
    EXPECT_EQ(CountMatching(capture, "recv udp [-1]bytes"), 0u) << "no receive-failure line";
    EXPECT_EQ(takenAtFirstReport, 2u) << "the batch went on past the reset";
    EXPECT_EQ(detector->Finalize(), 1);
    detector->Release(0);
}

TEST_F(PlatformFaults, TimersNeedNoExecutableMemoryAndATimerThatCannotBeMadeRefusesDetect)
{
    const DWORD executable = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    faults.FailWhen(PlatformCall::VirtualAlloc, [=](const uintptr_t* args) { return (args[3] & executable) != 0; },
                    kDynamicCodeBlocked);
    LoopbackResponder server;
    ServerListBuffer servers;
    servers.Add("127.0.0.1", server.Port());
    DebugCapture capture;

    // Under a code-integrity policy the end timer still fires.
    RecordingSink sink;
    ILinkrateDetector* detector = harness.NewDetector();
    ASSERT_EQ(detector->Initialize(&sink), 1);
    ASSERT_EQ(detector->Detect(servers.List(), 100), 1);
    EXPECT_TRUE(PumpUntil([&] {
        server.Poll();
        return sink.finished == 1;
    }, 5000)) << "the end timer fired without executable memory";
    EXPECT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(detector->Finalize(), 1);
    detector->Release(0);
    EXPECT_TRUE(capture.Matching("[Error]").empty());

    // No timer at all: refused with its line, no request out, nothing running.
    RecordingSink refusedSink;
    detector = harness.NewDetector();
    ASSERT_EQ(detector->Initialize(&refusedSink), 1);
    faults.Fail(PlatformCall::SetTimer, 1, 0, 0);
    const size_t requests = server.Requests().size();
    EXPECT_EQ(detector->Detect(servers.List(), 100), 0);
    EXPECT_EQ(CountMatching(capture, "CLinkrateDetector::Detect() exit fail"), 1u);
    ResultBuffer result(1);
    EXPECT_EQ(detector->GetSortedIPArray(result.Array()), 0) << "no detection open";
    PumpFor(300);
    server.Poll();
    EXPECT_EQ(server.Requests().size(), requests) << "no request went out";

    // Timers again: the same detector detects as if nothing had happened.
    faults.Fail(PlatformCall::SetTimer, 0);
    ASSERT_EQ(detector->Detect(servers.List(), 100), 1);
    EXPECT_TRUE(PumpUntil([&] {
        server.Poll();
        return refusedSink.finished == 1;
    }, 5000));
    EXPECT_EQ(refusedSink.reports.size(), 1u);
    EXPECT_EQ(detector->Finalize(), 1);
    detector->Release(0);
}

TEST_F(PlatformFaults, ReleaseOnAnotherThreadLeavesNothingReachingTheDetector)
{
    // Windows refuses DestroyWindow on a thread that does not own the window;
    // Wine would ask the owner instead.
    faults.FailWhen(PlatformCall::DestroyWindow, [](const uintptr_t* args) {
        return GetWindowThreadProcessId(reinterpret_cast<HWND>(args[0]), nullptr) != GetCurrentThreadId();
    }, ERROR_ACCESS_DENIED);
    LoopbackResponder server;
    ServerListBuffer servers;
    servers.Add("127.0.0.1", server.Port());
    DebugCapture capture;
    RecordingSink sink;
    HANDLE queued = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE released = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD pendingTypes = 0;
    bool windowGone = false;
    bool timerGone = false;

    std::thread owner([&] {
        ILinkrateDetector* detector = harness.NewDetector();
        detector->SetAutoRelease(1);
        if (detector->Initialize(&sink) != 1 || detector->Detect(servers.List(), 50) != 1 || !AnswerEach({&server})) {
            SetEvent(queued);
            return;
        }
        // Without pumping: the reply's read notification waits in the queue, and
        // the end timer falls due.
        Sleep(200);
        pendingTypes = HIWORD(GetQueueStatus(QS_POSTMESSAGE | QS_TIMER));
        SetEvent(queued);
        if (WaitForSingleObject(released, 10000) != WAIT_OBJECT_0)
            return;
        PumpFor(300);
        windowGone = FindDetectorWindow() == nullptr;
        // Three intervals of the end timer later, no tick waits: the late tick
        // killed its timer.
        Sleep(150);
        timerGone = (HIWORD(GetQueueStatus(QS_TIMER)) & QS_TIMER) == 0;
    });
    ASSERT_EQ(WaitForSingleObject(queued, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(pendingTypes, (DWORD)(QS_POSTMESSAGE | QS_TIMER)) << "a read notification and a tick wait";
    harness.module.ZelvoDllFreeMap();
    // The end timer's last tick on the owning thread still runs module code.
    int32_t unloadableBeforeTick = harness.module.ZelvoDllCanUnloadNow();
    SetEvent(released);
    owner.join();
    CloseHandle(queued);
    CloseHandle(released);

    EXPECT_TRUE(sink.reports.empty());
    EXPECT_EQ(sink.finished, 0);
    EXPECT_TRUE(windowGone) << "the owning thread closed the window";
    EXPECT_TRUE(timerGone) << "the end timer died on its own thread";
    EXPECT_EQ(unloadableBeforeTick, 0) << "the module held until the late tick";
    EXPECT_EQ(harness.module.ZelvoDllCanUnloadNow(), 1);
    EXPECT_EQ(CountMatching(capture, "not on thread"), 1u) << "the cross-thread release is named";
}

// The owner held inside the module's window or timer procedure (at a platform
// call before the sink) while another thread releases its detector and makes,
// initialises and starts a new one, which may get the old one's address. The
// procedure goes on with the detector it holds: the old sink hears nothing
// more, the new one hears only on its own thread, and the old detector is torn
// down when the procedure lets go.
std::atomic<DWORD> g_heldThread{0};
std::atomic<PlatformCall> g_heldAt{PlatformCall::recvfrom};
HANDLE g_inside, g_resume;

void HoldOwnerInside(PlatformCall call)
{
    if (call != g_heldAt.load() || GetCurrentThreadId() != g_heldThread.load())
        return;
    g_heldThread = 0;
    SetEvent(g_inside);
    WaitForSingleObject(g_resume, 10000);
}

TEST_F(PlatformFaults, ReleaseWhileTheOwnerIsInsideANotificationWaitsForIt)
{
    struct Row {
        const char* where;
        PlatformCall heldAt;
        uint32_t limit;
    };
    const Row rows[] = {
        {"read notification", PlatformCall::recvfrom, 5000},
        {"end timer tick", PlatformCall::KillTimer, 100},
    };
    ImportFaults::SetCallHook(HoldOwnerInside);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.where);
        LoopbackResponder server;
        ServerListBuffer servers, silent;
        servers.Add("127.0.0.1", server.Port());
        silent.Add("127.0.0.1", kNobody);
        g_inside = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        g_resume = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        g_heldAt = row.heldAt;
        const DWORD main = GetCurrentThreadId();
        RecordingSink first, second;
        std::atomic<int> firstCalls{0};
        std::atomic<bool> secondElsewhere{false}, ready{false}, done{false};
        first.onReport = first.onFinished = [&] { ++firstCalls; };
        second.onReport = second.onFinished = [&] { secondElsewhere = secondElsewhere || GetCurrentThreadId() != main; };
        ILinkrateDetector* detector = harness.NewDetector();
        std::thread owner([&] {
            if (detector->Initialize(&first) == 1 && detector->Detect(servers.List(), row.limit) == 1) {
                g_heldThread = GetCurrentThreadId();
                ready = true;
                PumpUntil([&] { return done.load(); }, 20000);
            }
        });
        ASSERT_TRUE(PumpUntil([&] { return ready.load(); }, 10000));
        if (row.heldAt == PlatformCall::recvfrom) {
            ASSERT_TRUE(AnswerEach({&server}));
        }
        ASSERT_EQ(WaitForSingleObject(g_inside, 10000), WAIT_OBJECT_0) << "the owner is held inside";
        const int heardBefore = firstCalls;
        detector->Release(0);
        ILinkrateDetector* next = harness.NewDetector();
        EXPECT_EQ(next->Initialize(&second), 1);
        EXPECT_EQ(next->Detect(silent.List(), 200), 1);
        SetEvent(g_resume);
        EXPECT_TRUE(PumpUntil([&] { return second.finished == 1; }, 10000));
        EXPECT_EQ(next->Finalize(), 1);
        next->Release(0);
        EXPECT_TRUE(PumpUntil([&] { return harness.module.ZelvoDllCanUnloadNow() == 1; }, 10000))
            << "the owner tears the old detector down when it lets go";
        done = true;
        owner.join();
        EXPECT_EQ(firstCalls, heardBefore) << "the released detector's sink heard more";
        EXPECT_FALSE(secondElsewhere) << "the new detector's sink heard on another thread";
        CloseHandle(g_inside);
        CloseHandle(g_resume);
    }
    ImportFaults::SetCallHook(nullptr);
    HANDLE heaps[64];
    const DWORD count = GetProcessHeaps(64, heaps);
    for (DWORD i = 0; i < count && i < 64; ++i)
        EXPECT_TRUE(HeapValidate(heaps[i], 0, nullptr));
}

}  // namespace
