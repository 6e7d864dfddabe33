// The detector's operations without servers that answer: which calls are
// accepted in which state, the lines they write, and what they leave behind.
#include <gtest/gtest.h>

#include <winsock2.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <regex>
#include <thread>

#include "DebugCapture.h"
#include "DetectorHarness.h"
#include "ImportFaults.h"
#include "LoopbackResponder.h"
#include "MessagePump.h"
#include "TempFolder.h"

namespace {

// A port on 127.0.0.1 where nothing listens.
const uint16_t kNobody = 9;

std::string ErrorLine(const char* text) { return std::string("[Error]") + text + "\n"; }
std::string TraceLine(const char* text) { return std::string("[Trace]") + text + "\n"; }

// The line without its "[T<thread>][M39]" prefix, which every line must carry.
std::vector<std::string> Bodies(const DebugCapture& capture)
{
    static const std::regex prefix(R"(^\[T\d+\]\[M39\])");
    std::vector<std::string> bodies;
    for (const std::string& line : capture.Lines()) {
        std::smatch match;
        if (std::regex_search(line, match, prefix))
            bodies.push_back(match.suffix());
    }
    return bodies;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class DetectorState : public ::testing::Test {
protected:
    DetectorState() : detector(harness.NewDetector())
    {
        servers.Add("127.0.0.1", kNobody);
        servers.Add("127.0.0.1", kNobody);
        servers.Add("127.0.0.1", kNobody);
    }

    ~DetectorState() override
    {
        if (detector != nullptr)
            detector->Release(0);
        EXPECT_EQ(harness.module.ZelvoDllCanUnloadNow(), 1);
        EXPECT_EQ(harness.Counters().allocations, harness.Counters().frees);
    }

    // Calls op and expects result 0, its Error line and the one line of its
    // reason after it.
    template <class Op>
    void ExpectRefused(Op op, const char* name)
    {
        DebugCapture capture;
        EXPECT_EQ(op(), 0) << name;
        std::vector<std::string> lines = Bodies(capture);
        ASSERT_EQ(lines.size(), 2u) << name;
        EXPECT_EQ(lines[0], ErrorLine((std::string(name) + " exit fail").c_str()));
        EXPECT_EQ(lines[1].rfind(std::string("[Error]") + name + " refused: ", 0), 0u) << lines[1];
    }

    DetectorHarness harness{3};
    RecordingSink sink;
    ServerListBuffer servers;
    ILinkrateDetector* detector;
};

TEST_F(DetectorState, NewDetectorIdentifiesItself)
{
    // Making one reads the configuration file, which is not there: the
    // caller's last error stays.
    SetLastError(0xDEADBEEF);
    ILinkrateDetector* another = harness.NewDetector();
    EXPECT_EQ(GetLastError(), 0xDEADBEEFu);
    another->Release(0);
    EXPECT_EQ(GetLastError(), 0xDEADBEEFu);

    EXPECT_EQ(detector->GetComponentID(), 39);
    EXPECT_EQ(detector->GetVersion(), 1);
    EXPECT_EQ(detector->GetAutoRelease(), 0);
    EXPECT_EQ(FindDetectorWindow(), nullptr) << "no window before Initialize";

    int32_t ids[4] = {0, 0, 0, 0};
    EXPECT_EQ(harness.module.GetComponentIDs(ids, 4), 1);
    EXPECT_EQ(ids[0], 39);
    EXPECT_EQ(ids[1], 0);
}

TEST_F(DetectorState, ConstructorAndDetectionWriteTheirLines)
{
    DebugCapture capture;
    ILinkrateDetector* traced = harness.NewDetector();
    EXPECT_TRUE(Contains(Bodies(capture), TraceLine("CLinkrateDetector::CLinkrateDetector()")));

    capture.Clear();
    ASSERT_EQ(traced->Initialize(&sink), 1);
    ASSERT_EQ(traced->Detect(servers.List(), 0), 1);
    std::vector<std::string> lines = Bodies(capture);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), TraceLine("CLinkrateDetector::Detect() exit success")), 1);
    EXPECT_TRUE(Contains(lines, TraceLine("Detected iparray size is [3],list infomation is:")));
    for (const char* candidate : {"ip[1]=[127.0.0.1],timeout=[5000]", "ip[2]=[127.0.0.1],timeout=[5000]",
                                  "ip[3]=[127.0.0.1],timeout=[5000]"})
        EXPECT_TRUE(Contains(lines, TraceLine(candidate))) << candidate;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), TraceLine("CLinkrateDetector::SendRequest() exit success")), 3);
    static const std::regex sent(R"(\[Trace\]sent \[16\] bytes to \[127\.0\.0\.1:9\] \[success\], )"
                                 R"(pdu:\{dwCmd=2,dwTick=\d+,ushSeq=[123],dwFillData=1\},errorcode=\[0\]\n)");
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return std::regex_match(l, sent); }),
              3);

    capture.Clear();
    ResultBuffer result(3);
    ASSERT_EQ(traced->GetSortedIPArray(result.Array()), 1);
    lines = Bodies(capture);
    EXPECT_EQ(lines.front(), TraceLine("CLinkrateDetector::GetSortedIPArray() exit success"));
    EXPECT_TRUE(Contains(lines, TraceLine("Detected iparray size is [3],list infomation is:")));

    capture.Clear();
    EXPECT_EQ(traced->Finalize(), 1);
    traced->Release(0);
    lines = Bodies(capture);
    EXPECT_TRUE(Contains(lines, TraceLine("CLinkrateDetector::Cleanup()")));
    EXPECT_TRUE(Contains(lines, TraceLine("CLinkrateDetector::DestoryLRDWindow() exit success")));
    EXPECT_TRUE(Contains(lines, TraceLine("CLinkrateDetector::~CLinkrateDetector()")));
}

TEST_F(DetectorState, ReceivedDatagramsWriteTheirLines)
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    {
        LoopbackResponder server;
        ServerListBuffer one;
        one.Add("127.0.0.1", server.Port());
        ASSERT_EQ(detector->Initialize(&sink), 1);
        ASSERT_EQ(detector->Detect(one.List(), 0), 1);

        DebugCapture capture;
        ASSERT_TRUE(PumpUntil([&] {
            server.Poll();
            return sink.reports.size() == 1;
        }));
        const std::string received = "[Trace]from [127.0.0.1:" + std::to_string(server.Port()) + "] recv udp [16]bytes\n";
        EXPECT_TRUE(Contains(Bodies(capture), received));

        // A datagram too short for a reply: its receive line and one Error line.
        capture.Clear();
        server.SendTo(Bytes(15, 2), server.Requests()[0].sourcePort);
        const std::string tooShort = "[Trace]from [127.0.0.1:" + std::to_string(server.Port()) + "] recv udp [15]bytes\n";
        ASSERT_TRUE(PumpUntil([&] { return Contains(Bodies(capture), tooShort); }));
        PumpFor(100);
        EXPECT_EQ(Bodies(capture), (std::vector<std::string>{tooShort, ErrorLine("pdu size error,not support")}));
        EXPECT_EQ(sink.reports.size(), 1u);
        EXPECT_EQ(detector->Finalize(), 1);
    }
    WSACleanup();
}

TEST_F(DetectorState, TextFormsOfDetectTraceTwiceWhenAccepted)
{
    std::vector<uint8_t> storage(LRD_IP_STRING_LIST_SIZE(1), 0);
    auto* list = reinterpret_cast<IPStringList*>(storage.data());
    list->nCount = 1;
    strcpy(list->szIP[0], "127.0.0.1");
    ASSERT_EQ(detector->Initialize(&sink), 1);
    DebugCapture capture;
    ASSERT_EQ(detector->Detect(list, 0), 1);
    std::vector<std::string> lines = Bodies(capture);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), TraceLine("CLinkrateDetector::Detect() exit success")), 2);
}

TEST_F(DetectorState, RefusalsWriteTheirErrorLineAndChangeNothing)
{
    const char* kDetect = "CLinkrateDetector::Detect()";
    ResultBuffer result(3);
    ExpectRefused([&] { return detector->Finalize(); }, "CLinkrateDetector::Finalize()");
    ExpectRefused([&] { return detector->Detect(servers.List(), 0); }, kDetect);
    ExpectRefused([&] { return detector->GetSortedIPArray(result.Array()); }, "CLinkrateDetector::GetSortedIPArray()");
    EXPECT_TRUE(result.Untouched());

    ASSERT_EQ(detector->Initialize(&sink), 1);
    ExpectRefused([&] { return detector->Initialize(&sink); }, "CLinkrateDetector::Initialize()");
    ExpectRefused([&] { return detector->Detect(static_cast<ServerList*>(nullptr), 0); }, kDetect);
    ExpectRefused([&] { return detector->Detect(static_cast<IPStringList*>(nullptr), 0); }, kDetect);
    ServerListBuffer empty;
    ExpectRefused([&] { return detector->Detect(empty.List(), 0); }, kDetect);

    std::vector<uint8_t> storage(LRD_IP_STRING_LIST_SIZE(65), 0);
    auto* texts = reinterpret_cast<IPStringList*>(storage.data());
    for (int32_t count : {0, -1, 65}) {
        texts->nCount = count;
        ExpectRefused([&] { return detector->Detect(texts, 0); }, kDetect);
    }
    ExpectRefused([&] { return detector->GetSortedIPArray(result.Array()); }, "CLinkrateDetector::GetSortedIPArray()");

    ASSERT_EQ(detector->Detect(servers.List(), 0), 1);
    ExpectRefused([&] { return detector->Detect(servers.List(), 0); }, kDetect);
    ExpectRefused([&] { return detector->GetSortedIPArray(nullptr); }, "CLinkrateDetector::GetSortedIPArray()");

    EXPECT_EQ(detector->Finalize(), 1);
    ExpectRefused([&] { return detector->GetSortedIPArray(result.Array()); }, "CLinkrateDetector::GetSortedIPArray()");
    EXPECT_TRUE(result.Untouched());
    ExpectRefused([&] { return detector->Initialize(&sink); }, "CLinkrateDetector::Initialize()");
    EXPECT_EQ(detector->Finalize(), 1) << "a finalised detector finalises again";
}

// Every refusal and every failed set-up step: the specified line, then exactly
// one line of the module's own with the reason, or the step with the system's
// error code; and the thread's last error, which a call that succeeds leaves as
// the caller had it.
TEST_F(DetectorState, RefusalsAndFailedStepsSayWhy)
{
    struct Expected {
        const char* operation;
        const char* reason;  // what follows "<operation> "
    };
    struct Case {
        const char* what;
        std::function<void(ImportFaults&, ZelFactLibrary&)> arrange;  // before the call
        std::function<void(ILinkrateDetector*)> before;               // not captured
        std::function<int32_t(ILinkrateDetector*)> call;
        int32_t result;
        std::vector<Expected> lines;
        DWORD lastError;
    };
    const DWORD kCallersError = 0xDEADBEEF;
    const char* kDetect = "CLinkrateDetector::Detect()";
    const char* kCreateSocket = "CLinkrateDetector::CreateSocket()";
    RecordingSink caseSink;
    ServerListBuffer empty;
    std::vector<uint8_t> storage(LRD_IP_STRING_LIST_SIZE(1), 0);
    auto* texts = reinterpret_cast<IPStringList*>(storage.data());
    strcpy(texts->szIP[0], "127.0.0.1");
    auto noFault = [](ImportFaults&, ZelFactLibrary&) {};
    auto none = [](ILinkrateDetector*) {};
    auto initialize = [&](ILinkrateDetector* d) { ASSERT_EQ(d->Initialize(&caseSink), 1); };
    auto detect = [&](ILinkrateDetector* d) { return d->Detect(servers.List(), 0); };
    auto initializeCall = [&](ILinkrateDetector* d) { return d->Initialize(&caseSink); };
    auto failCall = [](PlatformCall call, unsigned k, DWORD error) {
        return [=](ImportFaults& faults, ZelFactLibrary&) { faults.Fail(call, k, error); };
    };
    const Case cases[] = {
        {"Detect before Initialize", noFault, none, detect, 0, {{kDetect, "refused: not initialised"}}, ERROR_INVALID_STATE},
        {"a second Detect", noFault,
         [&](ILinkrateDetector* d) {
             initialize(d);
             ASSERT_EQ(d->Detect(servers.List(), 0), 1);
         },
         detect, 0, {{kDetect, "refused: already detecting"}}, ERROR_BUSY},
        {"an empty list", noFault, initialize, [&](ILinkrateDetector* d) { return d->Detect(empty.List(), 0); }, 0,
         {{kDetect, "refused: empty list"}}, ERROR_INVALID_PARAMETER},
        {"a null list", noFault, initialize,
         [](ILinkrateDetector* d) { return d->Detect(static_cast<ServerList*>(nullptr), 0); }, 0,
         {{kDetect, "refused: null list"}}, ERROR_INVALID_PARAMETER},
        {"a text list of count -1", noFault, initialize,
         [&](ILinkrateDetector* d) {
             texts->nCount = -1;
             return d->Detect(texts, 0);
         },
         0, {{kDetect, "refused: count out of range"}}, ERROR_INVALID_PARAMETER},
        {"Initialize after Finalize", noFault,
         [&](ILinkrateDetector* d) {
             initialize(d);
             ASSERT_EQ(d->Finalize(), 1);
         },
         initializeCall, 0, {{"CLinkrateDetector::Initialize()", "refused: finalised"}}, ERROR_INVALID_HANDLE_STATE},
        {"Detect after Finalize", noFault,
         [&](ILinkrateDetector* d) {
             initialize(d);
             ASSERT_EQ(d->Finalize(), 1);
         },
         detect, 0, {{kDetect, "refused: finalised"}}, ERROR_INVALID_HANDLE_STATE},
        {"GetSortedIPArray before Detect", noFault, initialize,
         [](ILinkrateDetector* d) {
             ResultBuffer result(1);
             return d->GetSortedIPArray(result.Array());
         },
         0, {{"CLinkrateDetector::GetSortedIPArray()", "refused: no detection"}}, ERROR_INVALID_STATE},
        {"GetSortedIPArray without a buffer", noFault, none,
         [](ILinkrateDetector* d) { return d->GetSortedIPArray(nullptr); }, 0,
         {{"CLinkrateDetector::GetSortedIPArray()", "refused: null result buffer"}}, ERROR_INVALID_PARAMETER},
        {"Finalize before Initialize", noFault, none, [](ILinkrateDetector* d) { return d->Finalize(); }, 0,
         {{"CLinkrateDetector::Finalize()", "refused: not initialised"}}, ERROR_INVALID_STATE},
        {"no window", failCall(PlatformCall::CreateWindowExA, 1, ERROR_NOT_ENOUGH_MEMORY), none, initializeCall, 1,
         {{"CLinkrateDetector::CreateLRDWindow()", "failed at CreateWindowExA: error 8"}}, ERROR_NOT_ENOUGH_MEMORY},
        {"no socket", failCall(PlatformCall::socket, 1, WSAEMFILE), none, initializeCall, 1,
         {{kCreateSocket, "failed at socket: error 10024"}}, WSAEMFILE},
        {"no non-blocking mode", failCall(PlatformCall::ioctlsocket, 1, WSAENETDOWN), none, initializeCall, 1,
         {{kCreateSocket, "failed at ioctlsocket FIONBIO: error 10050"}}, WSAENETDOWN},
        {"no receive buffer", [](ImportFaults&, ZelFactLibrary& factory) { factory.FailAllocations(1); }, none,
         initializeCall, 1, {{kCreateSocket, "failed at memory-service allocation"}}, ERROR_NOT_ENOUGH_MEMORY},
        // The first setsockopt widens the socket's buffer, whose failure is no fault.
        {"no time-out", failCall(PlatformCall::setsockopt, 2, WSAENOBUFS), none, initializeCall, 1,
         {{"CLinkrateDetector::SetSocketTimeout()", "failed at setsockopt SO_RCVTIMEO/SO_SNDTIMEO: error 10055"},
          {kCreateSocket, "failed at SetSocketTimeout"}},
         WSAENOBUFS},
        {"no read notifications", failCall(PlatformCall::WSAAsyncSelect, 1, WSAENETDOWN), none, initializeCall, 1,
         {{kCreateSocket, "failed at WSAAsyncSelect: error 10050"}}, WSAENETDOWN},
        {"no end timer", failCall(PlatformCall::SetTimer, 1, ERROR_NO_SYSTEM_RESOURCES), initialize,
         [&](ILinkrateDetector* d) { return d->Detect(servers.List(), 1000); }, 0,
         {{kDetect, "failed at SetTimer (the end timer): error 1450"}}, ERROR_NO_SYSTEM_RESOURCES},
        // Accepted calls, whose system calls set errors of their own on the way.
        {"an accepted Initialize", noFault, none, initializeCall, 1, {}, kCallersError},
        {"an accepted Detect", noFault, initialize,
         [&](ILinkrateDetector* d) {
             texts->nCount = 1;
             return d->Detect(texts, 1000);
         },
         1, {}, kCallersError},
    };
    ImportFaults faults(harness.module.Handle());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ILinkrateDetector* subject = harness.NewDetector();
        ASSERT_NE(subject, nullptr);
        c.before(subject);
        c.arrange(faults, harness.factory);
        std::vector<std::string> errors;
        {
            DebugCapture capture;
            SetLastError(kCallersError);
            EXPECT_EQ(c.call(subject), c.result);
            EXPECT_EQ(GetLastError(), c.lastError);
            for (const std::string& line : Bodies(capture))
                if (line.rfind("[Error]", 0) == 0)
                    errors.push_back(line);
        }
        faults.Reset();
        harness.factory.FailAllocations(0);
        ASSERT_EQ(errors.size(), 2 * c.lines.size()) << ::testing::PrintToString(errors);
        for (size_t i = 0; i < c.lines.size(); ++i) {
            const std::string name = c.lines[i].operation;
            EXPECT_EQ(errors[2 * i], ErrorLine((name + " exit fail").c_str()));
            EXPECT_EQ(errors[2 * i + 1].rfind("[Error]" + name + " " + c.lines[i].reason, 0), 0u) << errors[2 * i + 1];
        }
        subject->Release(0);
    }
}

TEST_F(DetectorState, SixtyFourTextAddressesAreAccepted)
{
    std::vector<uint8_t> storage(LRD_IP_STRING_LIST_SIZE(64), 0);
    auto* texts = reinterpret_cast<IPStringList*>(storage.data());
    texts->nCount = 64;
    for (int i = 0; i < 64; ++i)
        strcpy(texts->szIP[i], "127.0.0.1");
    ASSERT_EQ(detector->Initialize(nullptr), 1);
    ASSERT_EQ(detector->Detect(texts, 0), 1);
    ResultBuffer result(64);
    ASSERT_EQ(detector->GetSortedIPArray(result.Array()), 1);
    EXPECT_EQ(result.Array()->dwCount, 64u);
    EXPECT_EQ(detector->Finalize(), 1);
}

// A finalised detector has no socket: a detection there could send nothing,
// would never end, and would report every server silent. Both forms refuse it.
TEST_F(DetectorState, FinalisedDetectorRefusesDetect)
{
    ASSERT_EQ(detector->Initialize(&sink), 1);
    ASSERT_EQ(detector->Finalize(), 1);
    EXPECT_EQ(FindDetectorWindow(), nullptr);
    ExpectRefused([&] { return detector->Detect(servers.List(), 100); }, "CLinkrateDetector::Detect()");
    std::vector<uint8_t> storage(LRD_IP_STRING_LIST_SIZE(1), 0);
    auto* texts = reinterpret_cast<IPStringList*>(storage.data());
    texts->nCount = 1;
    strcpy(texts->szIP[0], "127.0.0.1");
    ExpectRefused([&] { return detector->Detect(texts, 100); }, "CLinkrateDetector::Detect()");
    ResultBuffer result(3);
    ExpectRefused([&] { return detector->GetSortedIPArray(result.Array()); }, "CLinkrateDetector::GetSortedIPArray()");
    EXPECT_EQ(detector->Finalize(), 1);
}

// The window and the end timer are the initialising thread's: a detection
// started on another thread would never end. Both forms refuse it there, naming
// both threads, and the detector still detects on its own thread.
TEST_F(DetectorState, DetectOnAnotherThreadIsRefused)
{
    ASSERT_EQ(detector->Initialize(&sink), 1);
    std::vector<uint8_t> storage(LRD_IP_STRING_LIST_SIZE(1), 0);
    auto* texts = reinterpret_cast<IPStringList*>(storage.data());
    texts->nCount = 1;
    strcpy(texts->szIP[0], "127.0.0.1");
    const std::string owner = "[" + std::to_string(GetCurrentThreadId()) + "]";
    const std::function<int32_t()> forms[] = {[&] { return detector->Detect(servers.List(), 100); },
                                              [&] { return detector->Detect(texts, 100); }};
    std::thread([&] {
        const std::string caller = "[" + std::to_string(GetCurrentThreadId()) + "]";
        for (const auto& detect : forms) {
            DebugCapture capture;
            EXPECT_EQ(detect(), 0);
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_WINDOW_OF_OTHER_THREAD);
            std::vector<std::string> lines = Bodies(capture);
            ASSERT_EQ(lines.size(), 2u);
            EXPECT_EQ(lines[0], ErrorLine("CLinkrateDetector::Detect() exit fail"));
            EXPECT_EQ(lines[1].rfind("[Error]CLinkrateDetector::Detect() refused: wrong thread", 0), 0u) << lines[1];
            EXPECT_NE(lines[1].find("called on thread " + caller), std::string::npos) << lines[1];
            EXPECT_NE(lines[1].find("initialised on thread " + owner), std::string::npos) << lines[1];
        }
    }).join();
    EXPECT_EQ(detector->Detect(servers.List(), 0), 1);
}

TEST_F(DetectorState, NullSinkRunsADetectionQuietly)
{
    ASSERT_EQ(detector->Initialize(nullptr), 1);
    ASSERT_NE(FindDetectorWindow(), nullptr);
    ASSERT_EQ(detector->Detect(servers.List(), 100), 1);
    PumpFor(400);
    ResultBuffer result(3);
    ASSERT_EQ(detector->GetSortedIPArray(result.Array()), 1);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(result.Array()->info[i].dwRTT, 5000u);
        EXPECT_EQ(result.Array()->info[i].dwLoad, 100u);
    }
    EXPECT_EQ(detector->Finalize(), 1);
}

TEST_F(DetectorState, HalfInitialisedDetectorGivesEverythingBack)
{
    harness.factory.FailAllocations(1);  // the receive buffer cannot be had
    DebugCapture capture;
    SetLastError(0);
    EXPECT_EQ(detector->Initialize(&sink), 1) << "accepted even though the socket step failed";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(Contains(Bodies(capture), ErrorLine("CLinkrateDetector::CreateSocket() exit fail")));
    EXPECT_EQ(FindDetectorWindow(), nullptr) << "the failed Initialize takes its window back at once";
    ExpectRefused([&] { return detector->Initialize(&sink); }, "CLinkrateDetector::Initialize()");
    ExpectRefused([&] { return detector->Detect(servers.List(), 0); }, "CLinkrateDetector::Detect()");

    capture.Clear();
    EXPECT_EQ(detector->Finalize(), 0);
    EXPECT_TRUE(Contains(Bodies(capture), ErrorLine("CLinkrateDetector::Finalize() exit fail")));
    harness.factory.FailAllocations(0);
}

// A message-only window: no broadcast on the desktop waits for it while its
// thread is busy elsewhere (FindDetectorWindow looks among message-only ones).
TEST_F(DetectorState, TheWindowIsMessageOnly)
{
    ASSERT_EQ(detector->Initialize(&sink), 1);
    HWND window = FindDetectorWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_NE(GetAncestor(window, GA_PARENT), GetDesktopWindow());
    EXPECT_EQ(detector->Finalize(), 1);
}

// Two copies of the module, loaded from two paths, each with its own window
// class: the second keeps working after the first is unloaded.
TEST(ModuleCopies, EachHasAWindowClassOfItsOwn)
{
    DetectorHarness harness{1};
    char original[MAX_PATH] = {0};
    ASSERT_NE(GetModuleFileNameA(harness.module.Handle(), original, sizeof original), 0u);
    TempFolder folder;
    const std::string copy = folder.Adopt("LinkrateDetectorCopy.dll");
    ASSERT_TRUE(CopyFileA(original, copy.c_str(), FALSE));
    std::unique_ptr<LoadedModule> second(new LoadedModule(copy.c_str()));
    second->SetFactoryHandle(harness.factory.Handle());

    RecordingSink firstSink, secondSink;
    ILinkrateDetector* first = harness.NewDetector();
    auto* other = static_cast<ILinkrateDetector*>(second->CreateComponent(LRD_DETECTOR_ID, 0));
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(first->Initialize(&firstSink), 1);
    ASSERT_EQ(other->Initialize(&secondSink), 1);
    EXPECT_EQ(first->Finalize(), 1);
    first->Release(0);
    ASSERT_EQ(harness.module.ZelvoDllCanUnloadNow(), 1);
    harness.module.Unload();

    LoopbackResponder server;
    ServerListBuffer servers;
    servers.Add("127.0.0.1", server.Port());
    ASSERT_EQ(other->Detect(servers.List(), 0), 1);
    EXPECT_TRUE(PumpUntil([&] {
        server.Poll();
        return !secondSink.reports.empty();
    }));
    EXPECT_EQ(other->Finalize(), 1);
    other->Release(0);
    EXPECT_EQ(second->ZelvoDllCanUnloadNow(), 1);
    second.reset();
}

TEST_F(DetectorState, SlotsCalledThroughPlainFunctionPointers)
{
    // A host built with another compiler reaches the operations by slot number.
    typedef int32_t(__thiscall * InitializeSlot)(void*, ILinkrateDetectorSink*);
    typedef int32_t(__thiscall * NoArgumentSlot)(void*);
    typedef int32_t(__thiscall * DetectSlot)(void*, void*, uint32_t);
    typedef int32_t(__thiscall * SortedSlot)(void*, IPInfoArray*);
    typedef void(__thiscall * ReleaseSlot)(void*, int32_t);
    void** vtable = *reinterpret_cast<void***>(detector);

    EXPECT_EQ(reinterpret_cast<NoArgumentSlot>(vtable[0])(detector), 39);
    EXPECT_EQ(reinterpret_cast<NoArgumentSlot>(vtable[1])(detector), 1);
    EXPECT_EQ(reinterpret_cast<InitializeSlot>(vtable[LRD_SLOT_INITIALIZE])(detector, &sink), 1);

    std::vector<uint8_t> storage(LRD_IP_STRING_LIST_SIZE(1), 0);
    auto* texts = reinterpret_cast<IPStringList*>(storage.data());
    texts->nCount = 1;
    strcpy(texts->szIP[0], "127.0.0.1");
    EXPECT_EQ(reinterpret_cast<DetectSlot>(vtable[LRD_SLOT_DETECT_TEXT])(detector, texts, 0), 1);
    ResultBuffer one(1);
    EXPECT_EQ(reinterpret_cast<SortedSlot>(vtable[LRD_SLOT_GET_SORTED_IP_ARRAY])(detector, one.Array()), 1);
    EXPECT_EQ(one.Array()->dwCount, 1u);
    EXPECT_EQ(reinterpret_cast<NoArgumentSlot>(vtable[LRD_SLOT_FINALIZE])(detector), 1);
    EXPECT_EQ(reinterpret_cast<DetectSlot>(vtable[LRD_SLOT_DETECT_RECORDS])(detector, servers.List(), 0), 0)
        << "a finalised detector detects no more";
    reinterpret_cast<ReleaseSlot>(vtable[2])(detector, 0);

    detector = harness.NewDetector();
    EXPECT_EQ(reinterpret_cast<InitializeSlot>(vtable[LRD_SLOT_INITIALIZE])(detector, &sink), 1);
    EXPECT_EQ(reinterpret_cast<DetectSlot>(vtable[LRD_SLOT_DETECT_RECORDS])(detector, servers.List(), 0), 1);
    ResultBuffer three(3);
    EXPECT_EQ(reinterpret_cast<SortedSlot>(vtable[LRD_SLOT_GET_SORTED_IP_ARRAY])(detector, three.Array()), 1);
    EXPECT_EQ(three.Array()->dwCount, 3u);
    EXPECT_EQ(reinterpret_cast<NoArgumentSlot>(vtable[LRD_SLOT_FINALIZE])(detector), 1);
    reinterpret_cast<ReleaseSlot>(vtable[2])(detector, 0);
    detector = nullptr;
}

TEST(DetectorWinSock, StartedByTheFirstDetectorCleanedUpWithTheLast)
{
    DetectorHarness harness(0);
    auto winsockRuns = [] {
        SOCKET probe = socket(AF_INET, SOCK_DGRAM, 0);
        if (probe == INVALID_SOCKET)
            return WSAGetLastError() != WSANOTINITIALISED;
        closesocket(probe);
        return true;
    };
    ASSERT_FALSE(winsockRuns()) << "nothing else in this process may hold WinSock";
    ILinkrateDetector* first = harness.NewDetector();
    EXPECT_TRUE(winsockRuns());
    ILinkrateDetector* second = harness.NewDetector();
    first->Release(0);
    EXPECT_TRUE(winsockRuns());
    second->Release(0);
    EXPECT_FALSE(winsockRuns());
    ILinkrateDetector* third = harness.NewDetector();
    EXPECT_TRUE(winsockRuns()) << "a later detector starts it again";
    third->Release(0);
}

}  // namespace
