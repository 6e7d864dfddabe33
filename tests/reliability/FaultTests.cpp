// Faults injected around real detectors: a memory service that fails every n-th
// allocation, a factory library that is missing, lacks its export or gives
// nothing, requests to addresses that cannot be reached, and a socket closed
// under the detector. Each case ends in its refusal or its line, and gives back
// everything it took.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <regex>

#include "DebugCapture.h"
#include "DetectorHarness.h"
#include "ExecutableFolder.h"
#include "LoopbackResponder.h"
#include "MessagePump.h"

namespace {

const char kMissingConfig[] = "C:\\lrd no such folder\\none.ini";
// A port on 127.0.0.1 where nothing listens.
const uint16_t kNobody = 9;
// The detector window's socket notice, and the window timer that sends again.
const UINT kSocketNotice = 13098;
const WPARAM kResendTimer = 2321;

std::string Error(const char* operation) { return std::string("[Error]") + operation + " exit fail\n"; }

// The detector's lines without their "[T<thread>][M39]" prefix; other lines as
// they are. The line with the reason that follows each "exit fail" line is left
// out: DetectorStateTests checks those.
std::vector<std::string> Lines(const DebugCapture& capture)
{
    static const std::regex prefix(R"(^\[T\d+\]\[M39\])");
    static const std::regex reason(R"(^\[Error\]\S+ (refused: |failed at ))");
    std::vector<std::string> lines;
    for (const std::string& line : capture.Lines()) {
        std::string body = std::regex_replace(line, prefix, "");
        if (!std::regex_search(body, reason))
            lines.push_back(body);
    }
    return lines;
}

size_t Count(const std::vector<std::string>& lines, const std::string& line)
{
    return (size_t)std::count(lines.begin(), lines.end(), line);
}

class Faults : public ::testing::Test {
protected:
    Faults()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~Faults() override
    {
        EXPECT_EQ(harness.module.ZelvoDllCanUnloadNow(), 1);
        EXPECT_EQ(harness.Counters().allocations, harness.Counters().frees);
        EXPECT_EQ(harness.Counters().strayFrees, 0);
        EXPECT_EQ(FindDetectorWindow(), nullptr);
        WSACleanup();
    }

    // Error lines only.
    DetectorHarness harness{1};
};

TEST_F(Faults, EveryNthAllocationFails)
{
    LoopbackResponder server;
    ServerListBuffer servers;
    servers.Add("127.0.0.1", server.Port());
    int injected = 0, detections = 0;
    for (int n = 1; n <= 5; ++n) {
        harness.factory.FailAllocations(n);
        for (int attempt = 1; attempt <= 10; ++attempt) {
            SCOPED_TRACE("every " + std::to_string(n) + ", allocation " + std::to_string(attempt));
            // One allocation per cycle: the receive buffer.
            const bool fails = attempt % n == 0;
            DebugCapture capture;
            RecordingSink sink;
            ILinkrateDetector* detector = harness.NewDetector();
            ASSERT_NE(detector, nullptr);
            ASSERT_EQ(detector->Initialize(&sink), 1) << "accepted whether or not the buffer came";
            ResultBuffer result(1);
            if (fails) {
                EXPECT_EQ(detector->Detect(servers.List(), 0), 0);
                EXPECT_EQ(detector->GetSortedIPArray(result.Array()), 0);
                EXPECT_EQ(detector->Finalize(), 0);
                EXPECT_EQ(Lines(capture), (std::vector<std::string>{Error("CLinkrateDetector::CreateSocket()"),
                                                                    Error("CLinkrateDetector::Detect()"),
                                                                    Error("CLinkrateDetector::GetSortedIPArray()"),
                                                                    Error("CLinkrateDetector::Finalize()")}));
                ++injected;
            } else {
                ASSERT_EQ(detector->Detect(servers.List(), 0), 1);
                ASSERT_TRUE(PumpUntil([&] {
                    server.Poll();
                    return !sink.reports.empty();
                }));
                EXPECT_EQ(detector->GetSortedIPArray(result.Array()), 1);
                EXPECT_LT(result.Array()->info[0].dwRTT, 5000u);
                EXPECT_EQ(detector->Finalize(), 1);
                EXPECT_TRUE(Lines(capture).empty());
                ++detections;
            }
            EXPECT_EQ(FindDetectorWindow(), nullptr) << "the window of a half set-up goes with Finalize";
            detector->Release(0);
        }
        harness.factory.FailAllocations(0);
    }
    std::printf("allocation faults: %d injected, %d detections beside them\n", injected, detections);
    EXPECT_EQ(harness.Counters().failedAllocations, injected);
}

struct FactoryFault {
    const char* name;
    std::function<void(ZelFactLibrary&, LoadedModule&)> arrange;
    std::vector<std::string> glueLines;  // written for the buffer and again for the unload notice
    bool bufferComes;
};

TEST_F(Faults, FactoryLibraryMissingWithoutExportOrGivingNothing)
{
    // Loaded only while its case runs: a detector made while two libraries of the
    // name are loaded could take its log settings from either.
    HMODULE impostor = nullptr;
    const std::vector<std::string> noExport = {"[Zelvo_Error] Can't find CreateComponent().\n",
                                               "[Zelvo_Error] Create ComponentFactory in ZelFact.dll Fail\n"};
    const FactoryFault faults[] = {
        {"no library",
         [](ZelFactLibrary&, LoadedModule& module) {
             module.SetFactoryHandle(nullptr);
             module.SetDLLRegistry(kMissingConfig);
         },
         {"[Zelvo_Error] Load ZelFact.dll Fail.\n"},
         false},
        {"library without the export",
         [&impostor](ZelFactLibrary& factory, LoadedModule& module) {
             impostor = LoadLibraryA((ExecutableFolder() + "\\without-export\\ZelFact.dll").c_str());
             ASSERT_NE(impostor, nullptr);
             ASSERT_NE(impostor, factory.Handle()) << "a second library of the same name";
             module.SetFactoryHandle(impostor);
             module.SetDLLRegistry("fault\\without-export.ini");
         },
         noExport,
         false},
        {"memory service not given",
         [](ZelFactLibrary& factory, LoadedModule& module) {
             module.SetFactoryHandle(factory.Handle());
             module.SetDLLRegistry("fault\\no-memory-service.ini");
             factory.SetNewComponentResult(LRD_MEMORY_SERVICE_ID, 0);
         },
         {},
         false},
        {"factory component not given",
         [](ZelFactLibrary& factory, LoadedModule& module) {
             module.SetFactoryHandle(factory.Handle());
             module.SetDLLRegistry("fault\\no-factory-component.ini");
             factory.SetNewComponentResult(LRD_COMPONENT_FACTORY_ID, 0);
         },
         {},
         true},
    };
    ServerListBuffer servers;
    servers.Add("127.0.0.1", kNobody);
    for (const FactoryFault& fault : faults) {
        SCOPED_TRACE(fault.name);
        const int32_t unloadNotices = harness.Counters().moduleCanUnloadCalls;
        const int32_t allocations = harness.Counters().allocations;
        DebugCapture capture;
        RecordingSink sink;
        ILinkrateDetector* detector = harness.NewDetector();
        ASSERT_NE(detector, nullptr);
        fault.arrange(harness.factory, harness.module);
        ASSERT_EQ(detector->Initialize(&sink), 1);
        EXPECT_EQ(detector->Detect(servers.List(), 0), fault.bufferComes ? 1 : 0);
        EXPECT_EQ(detector->Finalize(), fault.bufferComes ? 1 : 0);
        detector->Release(0);

        std::vector<std::string> lines = Lines(capture);
        std::vector<std::string> glue, detectorLines;
        for (const std::string& line : lines)
            (line.rfind("[Error]", 0) == 0 ? detectorLines : glue).push_back(line);
        std::vector<std::string> twice = fault.glueLines;
        twice.insert(twice.end(), fault.glueLines.begin(), fault.glueLines.end());
        EXPECT_EQ(glue, twice);
        if (fault.bufferComes) {
            EXPECT_TRUE(detectorLines.empty());
            EXPECT_EQ(harness.Counters().allocations, allocations + 1);
            EXPECT_EQ(harness.Counters().moduleCanUnloadCalls, unloadNotices) << "no factory component to tell";
        } else {
            EXPECT_EQ(detectorLines, (std::vector<std::string>{Error("CLinkrateDetector::CreateSocket()"),
                                                               Error("CLinkrateDetector::Detect()"),
                                                               Error("CLinkrateDetector::Finalize()")}));
            EXPECT_EQ(harness.Counters().allocations, allocations);
        }
        harness.factory.Reset();
        harness.factory.SetLogSettings(1, 0, nullptr, nullptr, 0);
        harness.module.SetFactoryHandle(harness.factory.Handle());
        if (impostor != nullptr)
            FreeLibrary(impostor);
        impostor = nullptr;
    }
    harness.module.SetDLLRegistry(nullptr);
}

// The send line of every request: "sent [n] bytes to [ip:port] [success|error], ...".
struct SendLine {
    std::string target, outcome;
    int sent;
    unsigned errorCode;
};

std::vector<SendLine> SendLines(const DebugCapture& capture)
{
    static const std::regex sent(
        R"(\[Trace\]sent \[(-?\d+)\] bytes to \[([^\]]*)\] \[(success|error)\], pdu:\{[^}]*\},errorcode=\[(\d+)\]\n)");
    std::vector<SendLine> lines;
    for (const std::string& line : Lines(capture)) {
        std::smatch match;
        if (std::regex_match(line, match, sent))
            lines.push_back({match[2], match[3], std::stoi(match[1]), (unsigned)std::stoul(match[4])});
    }
    return lines;
}

TEST_F(Faults, RequestsToAddressesThatCannotBeReached)
{
    // Text that is no address becomes the broadcast address, and 0.0.0.0 would
    // reach this machine: the detector sends nothing to either. Nothing listens
    // on port 9 of 127.0.0.1; port 0 cannot be sent to.
    harness.factory.SetLogSettings(3, 0, nullptr, nullptr, 0);
    LoopbackResponder server;
    // A long reply: it counts for its own port only, not for every candidate on
    // 127.0.0.1.
    Behaviour loaded;
    loaded.length = 20;
    loaded.load = 3;
    server.SetBehaviour(loaded);
    ServerListBuffer servers;
    servers.Add("no.such.address", kNobody);
    servers.Add("127.0.0.1", kNobody);
    servers.Add("0.0.0.0", kNobody);
    servers.Add("127.0.0.1", 0);
    servers.Add("127.0.0.1", server.Port());
    DebugCapture capture;
    RecordingSink sink;
    ILinkrateDetector* detector = harness.NewDetector();
    ASSERT_EQ(detector->Initialize(&sink), 1);
    ASSERT_EQ(detector->Detect(servers.List(), 300), 1);
    // Whatever the unreachable ones brought back, the reachable server answers
    // and the detection ends.
    ASSERT_TRUE(PumpUntil([&] {
        server.Poll();
        return sink.finished == 1;
    }));
    std::vector<SendLine> sends = SendLines(capture);
    ASSERT_EQ(sends.size(), 5u) << "every candidate gets its request, failed or not";
    std::map<std::string, SendLine> byTarget;
    for (const SendLine& send : sends) {
        EXPECT_EQ(send.sent == -1, send.outcome == "error") << send.target;
        byTarget[send.target] = send;
    }
    for (const char* never : {"no.such.address:9", "0.0.0.0:9"}) {
        EXPECT_EQ(byTarget[never].sent, -1) << never;
        EXPECT_EQ(byTarget[never].errorCode, (unsigned)WSAEADDRNOTAVAIL) << never;
    }
    EXPECT_EQ(byTarget["127.0.0.1:0"].sent, -1);
    EXPECT_EQ(byTarget["127.0.0.1:" + std::to_string(server.Port())].sent, 16);
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].port, server.Port());

    ResultBuffer result(5);
    ASSERT_EQ(detector->GetSortedIPArray(result.Array()), 1);
    EXPECT_STREQ(result.Array()->info[0].szIP, "127.0.0.1");
    EXPECT_LT(result.Array()->info[0].dwRTT, 5000u);
    EXPECT_EQ(result.Array()->info[0].dwLoad, 3u);
    for (uint32_t i = 1; i < 5; ++i)
        EXPECT_EQ(result.Array()->info[i].dwRTT, 5000u);
    EXPECT_EQ(detector->Finalize(), 1);
    detector->Release(0);
    std::vector<std::string> lines = Lines(capture);
    EXPECT_EQ(Count(lines, Error("CLinkrateDetector::OnRead()")), 0u);
}

TEST_F(Faults, SocketClosedUnderTheDetector)
{
    harness.factory.SetLogSettings(3, 0, nullptr, nullptr, 0);
    LoopbackResponder server;
    Behaviour twice;
    twice.copies = 2;
    server.SetBehaviour(twice);
    ServerListBuffer servers;
    servers.Add("127.0.0.1", server.Port());
    RecordingSink sink;
    ILinkrateDetector* detector = harness.NewDetector();
    ASSERT_EQ(detector->Initialize(&sink), 1);
    ASSERT_EQ(detector->Detect(servers.List(), 0), 1);
    HWND window = FindDetectorWindow();
    ASSERT_NE(window, nullptr);

    // The first read notice names the socket; it is closed before the detector
    // sees the notice.
    MSG notice = {};
    ASSERT_TRUE(PumpUntil([&] {
        server.Poll();
        return PeekMessageA(&notice, window, kSocketNotice, kSocketNotice, PM_NOREMOVE) != 0;
    }));
    DebugCapture capture;
    ASSERT_EQ(closesocket((SOCKET)notice.wParam), 0);
    PumpFor(300);
    std::vector<std::string> lines = Lines(capture);
    EXPECT_EQ(Count(lines, "[Trace]from [0.0.0.0:0] recv udp [-1]bytes\n"), 1u) << "the read fails and says so";
    EXPECT_TRUE(sink.reports.empty());

    // A request again, through the window timer: the send fails and says so.
    capture.Clear();
    SendMessageA(window, WM_TIMER, kResendTimer, 0);
    std::vector<SendLine> sends = SendLines(capture);
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].sent, -1);
    EXPECT_EQ(sends[0].errorCode, (unsigned)WSAENOTSOCK);

    ResultBuffer result(1);
    EXPECT_EQ(detector->GetSortedIPArray(result.Array()), 1);
    EXPECT_EQ(result.Array()->info[0].dwRTT, 5000u);
    EXPECT_EQ(detector->Finalize(), 1);
    detector->Release(0);
}

}  // namespace
