// The module used from several threads at once: workers that create and release
// detectors, some running whole detections on their own thread, while another
// thread lists the module's ids, asks whether it can unload and rewrites its
// registry path; and two threads that do nothing but create and release, so that
// one's freed detector address is handed to the other's next detector. Every wait
// is bounded; a hang fails the run instead of stalling it.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CountingSink.h"
#include "DebugCapture.h"
#include "DetectorHarness.h"
#include "ImportFaults.h"
#include "MessagePump.h"

namespace {

const int kWorkers = 4;
const int kCyclesPerWorker = 2000;
const DWORD kJoinTimeoutMs = 600000;
// A port on 127.0.0.1 where nothing listens.
const uint16_t kNobody = 9;
// The factory gives a memory service of its own for this registry path.
const char kSecondServicePath[] = "cfg\\b.ini";

struct Shared {
    LoadedModule* module;
    ServerListBuffer* servers;
    HANDLE start;
    std::atomic<bool> workersDone{false};
    std::atomic<int> failures{0};
    std::atomic<int> detections{0};
    std::atomic<int> controlCalls{0};
    std::string firstFailure;
    CRITICAL_SECTION failureLock;

    void Fail(const std::string& what)
    {
        if (failures++ == 0) {
            EnterCriticalSection(&failureLock);
            firstFailure = what;
            LeaveCriticalSection(&failureLock);
        }
    }
};

struct Worker {
    Shared* shared;
    int index;
};

// One cycle of a worker; the kind of cycle rotates. Every operation on a
// detector stays on the thread that created it.
// Waits for the workers (the first `workers` of threads) and then tells the
// control thread, the one after them, to stop and waits for it too; closes all of
// them. Threads that cannot be taken back end the process rather than hang the run.
void JoinThreads(HANDLE* threads, DWORD workers, DWORD timeoutMs, std::atomic<bool>& workersDone)
{
    DWORD waited = WaitForMultipleObjects(workers, threads, TRUE, timeoutMs);
    workersDone = true;
    if (waited == WAIT_TIMEOUT || WaitForSingleObject(threads[workers], 60000) == WAIT_TIMEOUT) {
        std::printf("[  FAILED  ] threads still running after %lu ms: a deadlock\n", (unsigned long)timeoutMs);
        fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    for (DWORD i = 0; i <= workers; ++i)
        CloseHandle(threads[i]);
}

void Cycle(Shared& shared, int worker, int cycle)
{
    auto fail = [&](const char* what) {
        shared.Fail("worker " + std::to_string(worker) + " cycle " + std::to_string(cycle) + ": " + what);
    };
    auto* detector = static_cast<ILinkrateDetector*>(shared.module->CreateComponent(LRD_DETECTOR_ID, (uint32_t)worker));
    if (detector == nullptr)
        return fail("no detector");
    CountingSink sink;
    int kind = (cycle + worker) % 5;
    if (kind >= 1 && detector->Initialize(&sink) != 1)
        fail("Initialize refused");
    if (kind >= 2) {
        // A time limit of 0 or 1 ms: the second ends at the thread's next pump.
        uint32_t limit = kind == 4 ? 1 : 0;
        if (detector->Detect(shared.servers->List(), limit) != 1)
            fail("Detect refused");
        if (kind == 4) {
            if (!PumpUntil([&] { return sink.finished > 0; }))
                fail("the detection did not end");
            ++shared.detections;
        }
        ResultBuffer result(2);
        if (detector->GetSortedIPArray(result.Array()) != 1 || result.Array()->dwCount != 2)
            fail("GetSortedIPArray");
    }
    // Kind 3 leaves the clean-up to the release.
    if ((kind == 1 || kind == 2 || kind == 4) && detector->Finalize() != 1)
        fail("Finalize refused");
    detector->Release(0);
}

DWORD WINAPI WorkerThread(void* parameter)
{
    Worker* worker = static_cast<Worker*>(parameter);
    WaitForSingleObject(worker->shared->start, INFINITE);
    for (int cycle = 0; cycle < kCyclesPerWorker; ++cycle)
        Cycle(*worker->shared, worker->index, cycle);
    return 0;
}

DWORD WINAPI ControlThread(void* parameter)
{
    Shared& shared = *static_cast<Shared*>(parameter);
    // Registry paths of every length up to the limit, beyond it, empty and null:
    // a reader that took the text while it was being rewritten would see a mix.
    const std::string longest(259, 'L');
    const std::string tooLong(260, 'T');
    const char* paths[] = {"a.ini", longest.c_str(), "", nullptr, kSecondServicePath, tooLong.c_str()};
    WaitForSingleObject(shared.start, INFINITE);
    for (unsigned i = 0; !shared.workersDone.load(); ++i) {
        int32_t ids[4] = {0, 0, 0, 0};
        if (shared.module->GetComponentIDs(ids, 4) != 1 || ids[0] != (int32_t)LRD_DETECTOR_ID)
            shared.Fail("GetComponentIDs");
        int32_t canUnload = shared.module->ZelvoDllCanUnloadNow();
        if (canUnload != 0 && canUnload != 1)
            shared.Fail("ZelvoDllCanUnloadNow");
        if (shared.module->SetDLLRegistry(paths[i % 6]) != 0)
            shared.Fail("SetDLLRegistry");
        ++shared.controlCalls;
        if (i % 8 == 0)
            Sleep(1);
    }
    return 0;
}

TEST(Threads, WorkersCreateAndReleaseWhileTheModuleIsReconfigured)
{
    DebugCapture capture;
    // Error lines only: no step of any cycle may fail.
    auto harness = std::make_unique<DetectorHarness>(1);
    // Every path the module asks the factory with must be one the control thread
    // set, never a text caught half rewritten.
    for (const std::string& path : {std::string("a.ini"), std::string(259, 'L'), std::string(), std::string(kSecondServicePath)})
        harness->factory.WatchPath(path.c_str());
    harness->factory.SetSecondServicePath(kSecondServicePath);
    ServerListBuffer servers;
    servers.Add("127.0.0.1", kNobody);
    servers.Add("127.0.0.1", kNobody);

    Shared shared;
    shared.module = &harness->module;
    shared.servers = &servers;
    shared.start = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    InitializeCriticalSection(&shared.failureLock);

    Worker workers[kWorkers];
    HANDLE threads[kWorkers + 1];
    for (int i = 0; i < kWorkers; ++i) {
        workers[i] = Worker{&shared, i};
        threads[i] = CreateThread(nullptr, 0, WorkerThread, &workers[i], 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    threads[kWorkers] = CreateThread(nullptr, 0, ControlThread, &shared, 0, nullptr);
    ASSERT_NE(threads[kWorkers], nullptr);

    DWORD started = GetTickCount();
    SetEvent(shared.start);
    JoinThreads(threads, kWorkers, kJoinTimeoutMs, shared.workersDone);
    DWORD spent = GetTickCount() - started;
    CloseHandle(shared.start);
    DeleteCriticalSection(&shared.failureLock);

    const ZelFactCounters& counters = harness->Counters();
    std::printf("threads: %d workers x %d cycles (%d whole detections) in %lu ms beside %d control rounds; "
                "%d memory service requests\n",
                kWorkers, kCyclesPerWorker, shared.detections.load(), (unsigned long)spent,
                shared.controlCalls.load(), counters.memoryServiceRequests);
    EXPECT_EQ(shared.failures.load(), 0) << shared.firstFailure;
    EXPECT_EQ(harness->module.ZelvoDllCanUnloadNow(), 1) << "every detector left the registry";
    EXPECT_EQ(counters.allocations, counters.frees);
    EXPECT_EQ(counters.allocations, kWorkers * kCyclesPerWorker * 4 / 5);
    EXPECT_EQ(counters.strayFrees, 0) << "a buffer went back to a service that did not give it";
    EXPECT_LE(counters.memoryServiceRequests - counters.memoryServiceReleases, 4)
        << "one memory service kept for each of the four registry paths";
    EXPECT_EQ(counters.unwatchedPaths, 0) << "the factory was asked with a registry path nobody set";
    EXPECT_TRUE(capture.Matching("[Error]").empty()) << capture.Matching("[Error]")[0];

    capture.Clear();
    harness->module.Unload();
    EXPECT_TRUE(capture.Matching("Found leak").empty()) << "the module reported leaked components at unload";
}

// Two threads that only create and release detectors, as fast as they can: the
// address one of them frees is often the very next one the other is handed. A
// third thread takes the module lock all the while. Bounded by cycles and time.
const int kReuseCyclesPerThread = 20000;
const DWORD kReuseTimeLimitMs = 60000;

struct ReuseShared {
    LoadedModule* module;
    HANDLE start;
    DWORD deadline;
    std::atomic<bool> workersDone{false};
    std::atomic<int> cycles{0};
    std::atomic<int> failedCreations{0};
    std::atomic<int> uncounted{0};  // times a held detector left the module unloadable
};

DWORD WINAPI ReuseWorker(void* parameter)
{
    ReuseShared& shared = *static_cast<ReuseShared*>(parameter);
    WaitForSingleObject(shared.start, INFINITE);
    for (int cycle = 0; cycle < kReuseCyclesPerThread && (int32_t)(shared.deadline - GetTickCount()) > 0; ++cycle) {
        IComponent* detector = shared.module->CreateComponent(LRD_DETECTOR_ID, (uint32_t)cycle);
        if (detector == nullptr) {
            ++shared.failedCreations;
            continue;
        }
        if (shared.module->ZelvoDllCanUnloadNow() != 0)
            ++shared.uncounted;
        detector->Release(0);
        ++shared.cycles;
    }
    return 0;
}

DWORD WINAPI ReuseControl(void* parameter)
{
    ReuseShared& shared = *static_cast<ReuseShared*>(parameter);
    WaitForSingleObject(shared.start, INFINITE);
    while (!shared.workersDone.load()) {
        shared.module->GetComponentIDs(nullptr, 0);
        shared.module->ZelvoDllCanUnloadNow();
    }
    return 0;
}

TEST(Threads, ReleaseNeverTakesAwayTheRegistrationOfADetectorAtTheSameAddress)
{
    DebugCapture capture;
    auto harness = std::make_unique<DetectorHarness>(1);
    ReuseShared shared;
    shared.module = &harness->module;
    shared.start = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE threads[3] = {CreateThread(nullptr, 0, ReuseWorker, &shared, 0, nullptr),
                         CreateThread(nullptr, 0, ReuseWorker, &shared, 0, nullptr),
                         CreateThread(nullptr, 0, ReuseControl, &shared, 0, nullptr)};
    for (HANDLE thread : threads)
        ASSERT_NE(thread, nullptr);

    DWORD started = GetTickCount();
    shared.deadline = started + kReuseTimeLimitMs;
    SetEvent(shared.start);
    JoinThreads(threads, 2, kReuseTimeLimitMs + kJoinTimeoutMs, shared.workersDone);
    DWORD spent = GetTickCount() - started;
    CloseHandle(shared.start);

    size_t missing = capture.Matching("To remove a component not exist").size();
    std::printf("address reuse: %d create/release cycles on two threads in %lu ms; %u removals of an unregistered "
                "detector, %d held detectors the module did not count\n",
                shared.cycles.load(), (unsigned long)spent, (unsigned)missing, shared.uncounted.load());
    EXPECT_EQ(shared.failedCreations.load(), 0);
    EXPECT_EQ(missing, 0u) << "a release erased the record of another thread's detector";
    EXPECT_EQ(shared.uncounted.load(), 0) << "ZelvoDllCanUnloadNow said 1 while a detector was alive";
    EXPECT_EQ(harness->module.ZelvoDllCanUnloadNow(), 1);
}

// A release under way is out of ZelvoDllFreeMap's reach: a free map on another
// thread while an auto-release detector's teardown runs finds nothing to do,
// and the detector is torn down and destroyed once.
TEST(Threads, FreeMapDuringAReleaseFindsNothing)
{
    DetectorHarness harness{3};
    ImportFaults faults(harness.module.Handle());
    DebugCapture capture;
    const char kTeardown[] = "CLinkrateDetector::~CLinkrateDetector()";
    ILinkrateDetector* detector = harness.NewDetector();
    detector->SetAutoRelease(1);
    ASSERT_EQ(detector->Initialize(nullptr), 1);
    // The teardown's closesocket waits long enough for the free map to run.
    faults.Delay(PlatformCall::closesocket, 1, 3000);
    std::atomic<bool> freeMapDone{false};
    std::thread freeMap([&] {
        DWORD start = GetTickCount();
        while (capture.Matching(kTeardown).empty() && GetTickCount() - start < 20000)
            Sleep(1);
        harness.module.ZelvoDllFreeMap();
        freeMapDone = true;
    });
    detector->Release(0);
    const bool freeMapInside = freeMapDone;
    freeMap.join();
    EXPECT_TRUE(freeMapInside) << "the free map ran during the teardown and did not wait for it";
    EXPECT_EQ(capture.Matching(kTeardown).size(), 1u);
    EXPECT_TRUE(capture.Matching("To remove a component not exist").empty());
    EXPECT_EQ(harness.module.ZelvoDllCanUnloadNow(), 1);
}

// Thread ids and timer ids come back, but not while the module may still take
// a thread for the owner of a timer: a detection left open on a thread that
// ended keeps that thread's id from any new thread until it is released, its
// release holds nothing for that thread, and a later thread that gets the id
// back keeps its own end timer.
TEST(Threads, AReusedThreadAndTimerIdKeepItsNewTimer)
{
    DetectorHarness harness{0};
    ServerListBuffer servers;
    servers.Add("127.0.0.1", kNobody);
    ILinkrateDetector* abandoned = harness.NewDetector();
    DWORD endedThread = 0;
    std::thread([&] {
        endedThread = GetCurrentThreadId();
        EXPECT_EQ(abandoned->Initialize(nullptr), 1);
        EXPECT_EQ(abandoned->Detect(servers.List(), 600000), 1);
    }).join();
    // Wine hands a thread id out again only after a few hundred others.
    bool reusedEarly = false;
    for (int i = 0; i < 1500 && !reusedEarly; ++i)
        std::thread([&] { reusedEarly = GetCurrentThreadId() == endedThread; }).join();
    EXPECT_FALSE(reusedEarly) << "a new thread got the id " << endedThread << " while its timer was routed";
    abandoned->Release(0);
    EXPECT_EQ(harness.module.ZelvoDllCanUnloadNow(), 1) << "the release holds nothing for the ended thread";
    bool reused = false, ended = false;
    for (int i = 0; i < 20000 && !reused; ++i) {
        std::thread([&] {
            if (GetCurrentThreadId() != endedThread)
                return;
            reused = true;
            CountingSink sink;
            ILinkrateDetector* detector = harness.NewDetector();
            EXPECT_EQ(detector->Initialize(&sink), 1);
            EXPECT_EQ(detector->Detect(servers.List(), 100), 1);
            ended = PumpUntil([&] { return sink.finished == 1; }, 10000);
            EXPECT_EQ(detector->Finalize(), 1);
            detector->Release(0);
        }).join();
    }
    ASSERT_TRUE(reused) << "no thread got the id " << endedThread << " back";
    EXPECT_TRUE(ended) << "the new detection ends";
    EXPECT_EQ(harness.module.ZelvoDllCanUnloadNow(), 1);
}

}  // namespace
