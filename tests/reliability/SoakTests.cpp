// Ten thousand whole detector lives in one process: create, initialize, detect
// with a real reply, finalize, release. What the process holds is measured every
// thousand cycles and must be the same after the last thousand as after the
// first: heap in use, handles, window objects, and what the module took from the
// host's memory service.
#include <winsock2.h>

#include <psapi.h>

#include <gtest/gtest.h>

#include "CountingSink.h"
#include "DetectorHarness.h"
#include "MessagePump.h"
#include "ProcessCensus.h"

namespace {

const int kCycles = 10000;
const int kSampleEvery = 1000;
// Growth allowed between the samples after the first thousand cycles and after
// the last: 4 bytes a cycle would already exceed it.
const int64_t kHeapSlackBytes = 32 * 1024;
const int64_t kPrivateSlackBytes = 256 * 1024;

struct Sample {
    int cycle;
    int64_t heapBytes;
    int64_t heapBlocks;
    int64_t privateBytes;
    DWORD handles;
    DWORD userObjects;
    DWORD gdiObjects;
    int32_t serviceRequests;
    int32_t allocations;
    int32_t frees;
    DWORD elapsedMs;
};

Sample Measure(int cycle, const ZelFactCounters& counters, DWORD started)
{
    Sample s = {};
    s.cycle = cycle;
    HeapInUse(s.heapBytes, s.heapBlocks);
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
        s.privateBytes = (int64_t)memory.PagefileUsage;
    s.handles = OpenHandles();
    s.userObjects = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    s.gdiObjects = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    s.serviceRequests = counters.memoryServiceRequests;
    s.allocations = counters.allocations;
    s.frees = counters.frees;
    s.elapsedMs = GetTickCount() - started;
    return s;
}

void Print(const Sample& s)
{
    std::printf("%6d %11lld %8lld %12lld %8lu %6lu %6lu %9d %9d %9d %8lu\n", s.cycle, (long long)s.heapBytes,
                (long long)s.heapBlocks, (long long)s.privateBytes, (unsigned long)s.handles,
                (unsigned long)s.userObjects, (unsigned long)s.gdiObjects, s.serviceRequests, s.allocations, s.frees,
                (unsigned long)s.elapsedMs);
}

TEST(Soak, TenThousandDetectorLivesLeaveNothingBehind)
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    {
        DetectorHarness harness(0);
        EchoServer echo;
        ServerListBuffer servers;
        servers.Add("127.0.0.1", echo.port);
        std::vector<uint8_t> textStorage(LRD_IP_STRING_LIST_SIZE(1), 0);
        auto* texts = reinterpret_cast<IPStringList*>(textStorage.data());
        texts->nCount = 1;
        strcpy(texts->szIP[0], "127.0.0.1");  // port 8000: nothing answers there
        ResultBuffer result(1);

        std::printf(" cycle  heap-bytes  heap-blocks private-bytes handles  user    gdi  service3    allocs     frees  time-ms\n");
        // Reserved before the first sample: the samples themselves must not show
        // up as growth.
        std::vector<Sample> samples;
        samples.reserve(kCycles / kSampleEvery);
        const DWORD started = GetTickCount();
        int failures = 0, timed = 0;
        for (int cycle = 1; cycle <= kCycles; ++cycle) {
            CountingSink sink;
            ILinkrateDetector* detector = harness.NewDetector();
            bool ok = detector != nullptr && detector->Initialize(&sink) == 1;
            // Most cycles wait for the echo; every tenth uses the text form and
            // the end timer instead.
            if (ok && cycle % 10 != 0) {
                ok = detector->Detect(servers.List(), 0) == 1 && PumpUntil([&] {
                    echo.Poll();
                    return sink.reports == 1;
                });
            } else if (ok) {
                ok = detector->Detect(texts, 1) == 1 && PumpUntil([&] { return sink.finished == 1; });
                ++timed;
            }
            ok = ok && detector->GetSortedIPArray(result.Array()) == 1 && detector->Finalize() == 1;
            if (detector != nullptr)
                detector->Release(0);
            if (!ok && ++failures <= 5)
                ADD_FAILURE() << "cycle " << cycle << " failed";
            if (cycle % kSampleEvery == 0) {
                samples.push_back(Measure(cycle, harness.Counters(), started));
                Print(samples.back());
                fflush(stdout);
            }
        }
        ASSERT_EQ(failures, 0);
        const Sample& first = samples.front();
        const Sample& last = samples.back();
        std::printf("soak: %d cycles (%d through the end timer) in %lu ms; from cycle %d to %d: heap %+lld bytes in "
                    "%+lld blocks, private bytes %+lld, handles %+ld, user objects %+ld, memory service requests "
                    "%+d\n",
                    kCycles, timed, (unsigned long)last.elapsedMs, first.cycle, last.cycle,
                    (long long)(last.heapBytes - first.heapBytes), (long long)(last.heapBlocks - first.heapBlocks),
                    (long long)(last.privateBytes - first.privateBytes), (long)last.handles - (long)first.handles,
                    (long)last.userObjects - (long)first.userObjects, last.serviceRequests - first.serviceRequests);

        EXPECT_LE(last.heapBytes - first.heapBytes, kHeapSlackBytes) << "the heap grows with the cycles";
        EXPECT_LE(last.privateBytes - first.privateBytes, kPrivateSlackBytes) << "committed memory grows";
        EXPECT_EQ(last.handles, first.handles) << "handles grow with the cycles";
        EXPECT_EQ(last.userObjects, first.userObjects) << "window objects grow with the cycles";
        EXPECT_EQ(last.gdiObjects, first.gdiObjects);
        EXPECT_EQ(last.serviceRequests, first.serviceRequests) << "the memory service is asked for again and again";
        EXPECT_EQ(last.allocations, kCycles) << "one receive buffer per cycle";
        EXPECT_EQ(last.frees, last.allocations);
        EXPECT_EQ(harness.module.ZelvoDllCanUnloadNow(), 1);
        EXPECT_EQ(FindDetectorWindow(), nullptr);
    }
    WSACleanup();
}

}  // namespace
