// Replies taken off the socket before their read notification is handled: while
// requests still go out, and every datagram waiting when a notification comes.
// Every request's reply is reported, resends' too, in arrival order, only from
// the notification, with the round-trip time of its arrival; a sink that ends
// the detector mid-batch stops the handling; the end of a detection drops what
// is still queued.
#include <gtest/gtest.h>

#include <winsock2.h>

#include <regex>

#include "DebugCapture.h"
#include "DetectorHarness.h"
#include "MessagePump.h"
#include "ScriptedResponder.h"

namespace {

const UINT kSocketMessage = 13098;
const UINT_PTR kResendTimer = 2321;

// The detector's clock, read the same way: milliseconds of the performance
// counter, truncated.
uint32_t Tick()
{
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return (uint32_t)(now.QuadPart / frequency.QuadPart * 1000 + now.QuadPart % frequency.QuadPart * 1000 / frequency.QuadPart);
}

// "ip:port" of every datagram the detector took, in the order it took them.
std::vector<std::string> Taken(const DebugCapture& capture)
{
    static const std::regex received(R"(from \[([0-9.]+):(\d+)\] recv udp \[\d+\]bytes)");
    std::vector<std::string> taken;
    for (const std::string& line : capture.Lines()) {
        std::smatch match;
        if (std::regex_search(line, match, received))
            taken.push_back(match[1].str() + ":" + match[2].str());
    }
    return taken;
}

class QueuedReplies : public ::testing::Test {
protected:
    QueuedReplies() : detector(harness.NewDetector())
    {
        for (const char* address : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
            ResponderServer server = responder.AddServer(address);
            servers.Add(address, server.port);
            answering.push_back(server);
        }
        // The sink must never be called from inside an operation of the detector.
        sink.onReport = [this] {
            EXPECT_FALSE(insideCall) << "a report from inside Detect or the resend";
            if (onReport)
                onReport();
        };
    }

    ~QueuedReplies() override
    {
        if (detector != nullptr) {
            detector->Finalize();
            detector->Release(0);
        }
        EXPECT_EQ(harness.module.ZelvoDllCanUnloadNow(), 1);
        EXPECT_EQ(harness.Counters().allocations, harness.Counters().frees);
    }

    void Detect(uint32_t timeLimitMs)
    {
        ASSERT_EQ(detector->Initialize(&sink), 1);
        window = FindDetectorWindow();
        ASSERT_NE(window, nullptr);
        start = Tick();
        insideCall = true;
        ASSERT_EQ(detector->Detect(servers.List(), timeLimitMs), 1);
        insideCall = false;
    }

    // Without dispatching any message, resends (the window timer 2321, which
    // also takes the replies waiting on the socket) until at least `count`
    // datagrams were taken. Returns the tick right after the last resend.
    uint32_t TakeWithoutDispatching(size_t count)
    {
        uint32_t taken = Tick();
        for (int round = 0; round < 1000 && Taken(capture).size() < count; ++round) {
            for (const ResponderServer& server : answering)
                while (responder.Requests(server).size() < (size_t)round + 1) {
                }
            insideCall = true;
            SendMessageA(window, WM_TIMER, kResendTimer, 0);
            insideCall = false;
            taken = Tick();
        }
        return taken;
    }

    // Dispatches one read notification of the detector, if one is waiting.
    bool DispatchOneNotification()
    {
        MSG msg;
        if (!PeekMessageA(&msg, window, kSocketMessage, kSocketMessage, PM_REMOVE))
            return false;
        DispatchMessageA(&msg);
        return true;
    }

    DetectorHarness harness{3};
    DebugCapture capture;
    ResponderProcess responder;
    std::vector<ResponderServer> answering;
    RecordingSink sink;
    ServerListBuffer servers;
    ILinkrateDetector* detector;
    HWND window = nullptr;
    uint32_t start = 0;
    bool insideCall = false;
    std::function<void()> onReport;
};

TEST_F(QueuedReplies, EveryReplyReportedInArrivalOrderWithTheTimeOfItsArrival)
{
    Detect(0);
    EXPECT_LE(harness.Counters().lastAllocateSize, 65536u) << "the own receive buffer holds one datagram";
    uint32_t takenBy = TakeWithoutDispatching(8);
    ASSERT_GE(Taken(capture).size(), 8u);
    std::vector<std::string> early = Taken(capture);
    EXPECT_TRUE(sink.reports.empty());

    // Time passes before the notification is handled; the reports must still
    // carry the times at which the replies were taken.
    Sleep(100);
    ASSERT_TRUE(DispatchOneNotification());
    ASSERT_GE(sink.reports.size(), early.size()) << "every datagram taken so far, in one notification";
    for (size_t i = 0; i < early.size(); ++i) {
        EXPECT_EQ(sink.reports[i].ip + ":" + std::to_string(sink.reports[i].port), early[i]) << "report " << i;
        EXPECT_LE(sink.reports[i].rtt, takenBy - start) << "report " << i;
    }

    // The rest, from later notifications: the resends' replies too, in order.
    PumpUntil([&] { return sink.reports.size() == Taken(capture).size(); }, 5000);
    PumpFor(200);
    std::vector<std::string> all = Taken(capture);
    ASSERT_EQ(sink.reports.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(sink.reports[i].ip + ":" + std::to_string(sink.reports[i].port), all[i]) << "report " << i;
}

// A host that dispatches nothing for longer than the reporting window still
// hears of every reply that arrived within it; one taken only after it is not
// reported.
TEST_F(QueuedReplies, TheReportingWindowCountsFromTheArrivalNotTheHandling)
{
    Detect(0);
    uint32_t takenBy = TakeWithoutDispatching(4);
    size_t inTime = Taken(capture).size();
    ASSERT_LT(takenBy - start, 4000u) << "the replies were taken well inside the window";
    while (Tick() - start <= 5000 + 200)
        Sleep(50);
    // One more round of requests: its replies can only be taken after the window.
    SendMessageA(window, WM_TIMER, kResendTimer, 0);
    ASSERT_TRUE(PumpUntil([&] { return Taken(capture).size() >= inTime + 4; }));
    PumpFor(200);
    ASSERT_EQ(sink.reports.size(), inTime);
    std::vector<std::string> taken = Taken(capture);
    for (size_t i = 0; i < inTime; ++i) {
        EXPECT_EQ(sink.reports[i].ip + ":" + std::to_string(sink.reports[i].port), taken[i]) << "report " << i;
        EXPECT_LE(sink.reports[i].rtt, takenBy - start) << "report " << i;
    }
}

TEST_F(QueuedReplies, FinalizeFromTheSinkStopsTheBatch)
{
    Detect(0);
    TakeWithoutDispatching(3);
    onReport = [&] {
        EXPECT_EQ(detector->Finalize(), 1);
        onReport = nullptr;
    };
    ASSERT_TRUE(DispatchOneNotification());
    PumpFor(300);
    EXPECT_EQ(sink.reports.size(), 1u) << "nothing is handled after the sink finalised the detector";
    EXPECT_EQ(FindDetectorWindow(), nullptr);
}

TEST_F(QueuedReplies, ReleaseFromTheSinkStopsTheBatch)
{
    Detect(0);
    TakeWithoutDispatching(3);
    onReport = [&] {
        detector->Release(0);
        detector = nullptr;
        onReport = nullptr;
    };
    size_t linesBefore = capture.Lines().size();
    ASSERT_TRUE(DispatchOneNotification());
    PumpFor(300);
    EXPECT_EQ(sink.reports.size(), 1u) << "nothing is handled after the sink released the detector";
    std::vector<std::string> lines = capture.Lines();
    for (size_t i = linesBefore; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].find("recv udp"), std::string::npos) << "no datagram taken after the release: " << lines[i];
    EXPECT_EQ(FindDetectorWindow(), nullptr);
}

TEST_F(QueuedReplies, TheEndOfTheDetectionDropsWhatIsQueued)
{
    Detect(300);
    TakeWithoutDispatching(1);
    // Only timer messages, among them the end timer's: the socket's
    // notifications wait.
    DWORD begin = GetTickCount();
    while (sink.finished == 0 && GetTickCount() - begin < 10000) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE))
            DispatchMessageA(&msg);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    ASSERT_EQ(sink.finished, 1);
    PumpFor(300);
    EXPECT_TRUE(sink.reports.empty()) << "replies queued before the end are dropped";
    ResultBuffer result(4);
    ASSERT_EQ(detector->GetSortedIPArray(result.Array()), 1);
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(result.Array()->info[i].dwRTT, 5000u) << "no queued reply reached a candidate";
}

}  // namespace
