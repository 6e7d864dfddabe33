// Failure at every call point: a standard host scenario (create, initialise,
// detect 8 servers on loopback, pump to the end, read the result, finalise,
// release, free map) is run once with nothing failed to count the module's calls
// of each patched platform function, and then once for each function and each k
// from 1 to its count with the k-th call failed. Every run must hold:
//   - no crash, and no hang: every wait is bounded;
//   - OnDetectFinished exactly once if Detect returned 1, never otherwise;
//   - a refused operation writes its Error line;
//   - afterwards the process is back at its baseline: heap, kernel handles,
//     windows, the module's registry and the memory service's buffers.
// The last line of the output gives the number of cases run, passed and failed.
#include <winsock2.h>

#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "DebugCapture.h"
#include "DetectorHarness.h"
#include "ImportFaults.h"
#include "MessagePump.h"
#include "ProcessCensus.h"
#include "TempFolder.h"

namespace {

const int kServers = 8;
const uint32_t kTimeLimitMs = 100;
// Past the time limit: a detection that has not ended by then never will.
const unsigned kEndDeadlineMs = 5000;
// Long enough after the end for a second tick of a timer that was not stopped.
const unsigned kAfterEndMs = kTimeLimitMs + 30;
// A window whose closing was left to this thread goes at its next pump.
const unsigned kWindowDeadlineMs = 1000;
// A query of the window's state, not a call that can fail while the window
// lives: failing it would describe another world, not a failed call.
const PlatformCall kNotSwept[] = {PlatformCall::IsWindow};

std::string ErrorLine(const char* operation) { return std::string(operation) + " exit fail"; }

// Handle values are handed out lowest first, so counting the open ones can stop
// well past the highest one seen at the start.
uintptr_t HighestHandle()
{
    uintptr_t highest = 0;
    for (uintptr_t value = 4; value < 0x10000 * 4; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            highest = value;
    }
    return highest;
}

int64_t HeapBytesInUse()
{
    int64_t bytes, blocks;
    HeapInUse(bytes, blocks);
    return bytes;
}

BOOL CALLBACK CountWindow(HWND, LPARAM count)
{
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

// The thread's top-level windows and its message-only ones (which
// EnumThreadWindows does not list; the detector's window is one).
int ThreadWindows()
{
    int count = 0;
    EnumThreadWindows(GetCurrentThreadId(), CountWindow, reinterpret_cast<LPARAM>(&count));
    HWND window = nullptr;
    while ((window = FindWindowExA(HWND_MESSAGE, window, nullptr, nullptr)) != nullptr)
        count += GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId() ? 1 : 0;
    return count;
}

struct Baseline {
    int64_t heapBytes;
    DWORD handles;
    int windows;
};

class Sweep {
public:
    Sweep() : m_module("LinkrateDetector.dll")
    {
        char factoryPath[MAX_PATH] = {0};
        GetModuleFileNameA(m_factory.Handle(), factoryPath, sizeof factoryPath - 1);
        // The factory library is found through the configuration file, so that
        // the library and file calls are part of the scenario; every line goes
        // to the log file as well.
        m_module.SetDLLRegistry(m_folder.Write("Zelvo.ini", std::string("[361]\r\nDLL=") + factoryPath + "\r\n").c_str());
        InitializeCriticalSection(&m_logLock);
        m_logFile = CreateFileA(m_folder.Adopt("detector.log").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        m_factory.SetLogSettings(1, 3, m_logFile, &m_logLock, 1);
        for (int i = 0; i < kServers; ++i) {
            m_servers.push_back(std::make_unique<EchoServer>());
            m_list.Add("127.0.0.1", m_servers.back()->port);
        }
        m_faults = std::make_unique<ImportFaults>(m_module.Handle());
        // The captured lines are cleared before each measurement; their list
        // must not grow in between.
        m_capture.Reserve(4096);
    }

    ~Sweep()
    {
        m_faults.reset();
        m_module.Unload();
        CloseHandle(m_logFile);
        DeleteCriticalSection(&m_logLock);
    }

    ImportFaults& Faults() { return *m_faults; }

    // Runs the scenario once; the text of the first rule it broke, or "". A run
    // that takes the baseline measures what the process holds at its end instead
    // of comparing it. handleSlack: handles the platform was asked to close and
    // refused (the failed call of the case), allowed to stay open.
    std::string Run(bool takeBaseline = false, DWORD handleSlack = 0)
    {
        std::string broken;
        auto require = [&broken](bool holds, const std::string& rule) {
            if (!holds && broken.empty())
                broken = rule;
        };
        for (auto& server : m_servers)
            server->Poll();
        m_capture.Clear();
        auto hasLine = [this](const std::string& fragment) { return !m_capture.Matching(fragment).empty(); };

        const int32_t logSettings = m_factory.Counters().getLogSettingsCalls;
        IComponent* component = m_module.CreateComponent(LRD_DETECTOR_ID, 7);
        if (component == nullptr) {
            require(hasLine("Zelvo[Error]"), "CreateComponent refused without its line");
        } else {
            // A detector that found no factory library when it was made stays
            // silent for its life.
            const bool logging = m_factory.Counters().getLogSettingsCalls != logSettings;
            auto refusedWithLine = [&](int32_t result, const char* operation) {
                if (result == 0 && logging) {
                    require(hasLine(ErrorLine(operation)), std::string(operation) + " refused without its line");
                    require(hasLine(std::string(operation) + " refused: ") ||
                                hasLine(std::string(operation) + " failed at "),
                            std::string(operation) + " refused without its reason");
                }
            };
            auto* detector = static_cast<ILinkrateDetector*>(component);
            RecordingSink sink;
            require(detector->Initialize(&sink) == 1, "Initialize refused");
            const int32_t detect = detector->Detect(m_list.List(), kTimeLimitMs);
            refusedWithLine(detect, "CLinkrateDetector::Detect()");
            if (detect == 1) {
                bool ended = PumpUntil([&] {
                    for (auto& server : m_servers)
                        server->Poll();
                    return sink.finished != 0;
                }, kEndDeadlineMs);
                require(ended, "hang: Detect returned 1 and OnDetectFinished never came");
            }
            PumpFor(kAfterEndMs);
            require(sink.finished == (detect == 1 ? 1 : 0),
                    "OnDetectFinished " + std::to_string(sink.finished) + " times after Detect " +
                        std::to_string(detect));
            ResultBuffer result(kServers);
            const int32_t sorted = detector->GetSortedIPArray(result.Array());
            require(detect == 0 || sorted == 1, "GetSortedIPArray refused during a detection");
            refusedWithLine(sorted, "CLinkrateDetector::GetSortedIPArray()");
            refusedWithLine(detector->Finalize(), "CLinkrateDetector::Finalize()");
            detector->Release(0);
        }
        m_module.ZelvoDllFreeMap();
        PumpUntil([] { return FindDetectorWindow() == nullptr; }, kWindowDeadlineMs);

        require(m_module.ZelvoDllCanUnloadNow() == 1, "a component is still alive");
        int32_t ids[4] = {};
        require(m_module.GetComponentIDs(ids, 4) == 1 && ids[0] == LRD_DETECTOR_ID, "the component ids changed");
        m_capture.Clear();
        const ZelFactCounters& counters = m_factory.Counters();
        require(counters.allocations == counters.frees, "memory service buffers not given back");
        require(counters.strayFrees == 0, "a buffer went back to a service that did not give it");
        if (m_handleLimit == 0)
            m_handleLimit = HighestHandle() + 4 * 1024;
        Baseline now = Measure();
        if (takeBaseline) {
            m_baseline = now;
            return broken;
        }
        require(now.windows == m_baseline.windows,
                "windows " + std::to_string(m_baseline.windows) + " -> " + std::to_string(now.windows));
        require(now.handles >= m_baseline.handles && now.handles - m_baseline.handles <= handleSlack,
                "handles " + std::to_string(m_baseline.handles) + " -> " + std::to_string(now.handles));
        require(now.heapBytes == m_baseline.heapBytes, "heap bytes " + std::to_string(m_baseline.heapBytes) + " -> " +
                                                            std::to_string(now.heapBytes));
        return broken;
    }

private:
    Baseline Measure() const { return Baseline{HeapBytesInUse(), OpenHandles(m_handleLimit), ThreadWindows()}; }

    // Loaded first: a detector's log channel only finds an already loaded library.
    ZelFactLibrary m_factory;
    LoadedModule m_module;
    TempFolder m_folder;
    CRITICAL_SECTION m_logLock;
    HANDLE m_logFile = INVALID_HANDLE_VALUE;
    std::vector<std::unique_ptr<EchoServer>> m_servers;
    ServerListBuffer m_list;
    DebugCapture m_capture;
    std::unique_ptr<ImportFaults> m_faults;
    uintptr_t m_handleLimit = 0;
    Baseline m_baseline = {};
};

bool Swept(PlatformCall call)
{
    for (PlatformCall excluded : kNotSwept)
        if (excluded == call)
            return false;
    return true;
}

}  // namespace

int main()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    int run = 0, failed = 0;
    {
        // Printed first: the output's own buffer is made before the baseline.
        printf("%-26s %6s %6s %7s %6s\n", "function", "calls", "cases", "reached", "passed");
        fflush(stdout);
        Sweep sweep;
        ImportFaults& faults = sweep.Faults();
        std::vector<unsigned> counts(ImportFaults::kCallCount);
        // Lazily made state of the process, the runtime and the module (the host
        // folder, the memory service kept per path, the sockets' buffers) is made
        // by the first runs; the baseline and the counts come after them.
        for (int warmUp = 0; warmUp < 3; ++warmUp)
            sweep.Run(true);
        faults.Reset();
        std::string unfailed = sweep.Run();
        if (!unfailed.empty()) {
            printf("fault sweep: the scenario fails with nothing failed: %s\n", unfailed.c_str());
            return 1;
        }
        for (int i = 0; i < ImportFaults::kCallCount; ++i)
            counts[i] = faults.Calls(ImportFaults::At(i));

        const DWORD started = GetTickCount();
        bool rebaseline = false;
        for (int i = 0; i < ImportFaults::kCallCount; ++i) {
            const PlatformCall call = ImportFaults::At(i);
            if (!faults.Imports(call)) {
                printf("%-26s not imported\n", ImportFaults::Name(call));
                continue;
            }
            if (!Swept(call)) {
                printf("%-26s %6u %6s %7s %6s\n", ImportFaults::Name(call), counts[i], "-", "-", "-");
                continue;
            }
            int passed = 0, reached = 0;
            for (unsigned k = 1; k <= counts[i]; ++k) {
                // Each case is judged on its own, not on what a failed one left.
                if (rebaseline) {
                    faults.Reset();
                    sweep.Run(true);
                    rebaseline = false;
                }
                faults.Reset();
                faults.Fail(call, k);
                std::string broken = sweep.Run(false, call == PlatformCall::closesocket ? 1 : 0);
                ++run;
                // Calls that depend on timing (receives that find nothing, for
                // one) may be fewer in this run: the case then ran unfailed.
                if (faults.Failures(call) != 0)
                    ++reached;
                // A socket that the platform refused to close stays open.
                if (call == PlatformCall::closesocket)
                    rebaseline = true;
                if (broken.empty()) {
                    ++passed;
                    continue;
                }
                ++failed;
                rebaseline = true;
                printf("FAILED %s, call %u of %u: %s\n", ImportFaults::Name(call), k, counts[i], broken.c_str());
            }
            printf("%-26s %6u %6u %7d %6d\n", ImportFaults::Name(call), counts[i], counts[i], reached, passed);
            fflush(stdout);
        }
        printf("fault sweep: %lu ms\n", (unsigned long)(GetTickCount() - started));
    }
    WSACleanup();
    printf("fault sweep: %d cases run, %d passed, %d failed\n", run, run - failed, failed);
    return failed == 0 ? 0 : 1;
}
