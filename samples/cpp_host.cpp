// A complete, small host in C++11: one detection over the servers on the
// command line, printed best first.
//
//   cpp_host [--log FILE] ADDRESS[:PORT]...     (dotted IPv4, port 8000 when absent)
//
// It links the shipped factory library ZelFact.dll through its import library
// and configures it, loads LinkrateDetector.dll from its own folder, hands it the
// factory library, and runs Initialize, Detect, the message pump until
// OnDetectFinished, GetSortedIPArray, Finalize and Release. With --log, the
// module's Error and Trace lines (every refusal and failed step with its reason)
// go to FILE. Exit status 0 when a server answered, 1 when none did, 2 when the
// module cannot be used.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "LinkrateDetector.h"
#include "ZelFact.h"

namespace {

const uint32_t kTimeLimitMs = 2000;
const uint32_t kMarginMs = 5000;
const size_t kMaxServers = 64;

class HostSink : public ILinkrateDetectorSink {
public:
    bool finished = false;

    void LRD_THISCALL OnIPDetected(const char* ip, uint16_t port, uint32_t rtt) override
    {
        // ip is valid only during the call.
        std::printf("%s:%u answered in %u ms\n", ip, unsigned(port), unsigned(rtt));
    }
    void LRD_THISCALL OnDetectFinished() override { finished = true; }
};

// Released on every way out of main: the detector goes only through Release.
struct DetectorHold {
    ILinkrateDetector* detector;
    ~DetectorHold()
    {
        detector->Finalize();
        detector->Release(0);
    }
};

template <class F>
F Export(HMODULE library, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

// The module from the folder of this program, so that the current folder does not
// matter.
HMODULE LoadModuleBesideProgram()
{
    char path[MAX_PATH] = {0};
    std::string program(path, GetModuleFileNameA(nullptr, path, sizeof path));
    return LoadLibraryA((program.substr(0, program.find_last_of("\\/") + 1) + "LinkrateDetector.dll").c_str());
}

// "a.b.c.d[:port]" into a server record; false when the text does not fit.
bool ParseServer(const std::string& text, ServerInfo& server)
{
    size_t colon = text.find(':');
    std::string address = text.substr(0, colon);
    long port = 8000;
    if (address.empty() || address.size() >= 16)
        return false;
    if (colon != std::string::npos) {
        char* end = nullptr;
        port = std::strtol(text.c_str() + colon + 1, &end, 10);
        if (*end != '\0' || port < 1 || port > 65535)
            return false;
    }
    std::memcpy(server.szAddr, address.c_str(), address.size() + 1);
    server.ushPort = uint16_t(port);
    return true;
}

// Dispatches this thread's messages until the sink hears the end or the margin
// past the time limit is used up.
void PumpUntilFinished(const HostSink& sink)
{
    const DWORD start = GetTickCount(), limit = kTimeLimitMs + kMarginMs;
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        DWORD elapsed = GetTickCount() - start;
        if (sink.finished || elapsed >= limit)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, limit - elapsed, QS_ALLINPUT);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const char* logPath = nullptr;
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "--log") == 0) {
        logPath = argv[2];
        first = 3;
    }
    size_t count = argc > first ? size_t(argc - first) : 0;
    if (count < 1 || count > kMaxServers) {
        std::fprintf(stderr, "usage: cpp_host [--log FILE] ADDRESS[:PORT]...  (1 to %u servers)\n",
                     unsigned(kMaxServers));
        return 2;
    }
    std::vector<uint8_t> listBytes(LRD_SERVER_LIST_SIZE(count), 0);
    ServerList* list = reinterpret_cast<ServerList*>(listBytes.data());
    list->ushCount = uint16_t(count);
    for (size_t i = 0; i < count; ++i) {
        if (!ParseServer(argv[first + i], list->servers[i])) {
            std::fprintf(stderr, "cpp_host: '%s' is not ADDRESS[:PORT]\n", argv[first + i]);
            return 2;
        }
    }

    // The factory library is configured before the first detector exists: a
    // detector takes its log settings when it is made. Error lines (bit 1) go to
    // the debugger output; with --log, both levels to the file too.
    if (!ZelFactConfigure(1, logPath != nullptr ? 3 : 0, logPath)) {
        std::fprintf(stderr, "cpp_host: ZelFactConfigure refused (log file: error %lu)\n", GetLastError());
        return 2;
    }
    HMODULE module = LoadModuleBesideProgram();
    if (module == nullptr) {
        std::fprintf(stderr, "cpp_host: cannot load LinkrateDetector.dll beside the program (error %lu)\n",
                     GetLastError());
        return 2;
    }
    auto create = Export<PFN_CreateComponent>(module, "CreateComponent");
    auto setFactory = Export<PFN_SetFactoryHandle>(module, "SetFactoryHandle");
    if (create == nullptr || setFactory == nullptr) {
        std::fprintf(stderr, "cpp_host: LinkrateDetector.dll lacks its exports\n");
        return 2;
    }
    setFactory(GetModuleHandleA("ZelFact.dll"));

    auto* detector = static_cast<ILinkrateDetector*>(create(LRD_DETECTOR_ID, 0));
    if (detector == nullptr) {
        std::fprintf(stderr, "cpp_host: the module gave no detector\n");
        return 2;
    }
    HostSink sink;
    DetectorHold hold = {detector};
    detector->Initialize(&sink);
    if (!detector->Detect(list, kTimeLimitMs)) {
        // Initialize returns 1 even when its window or socket step failed; the
        // refusal comes here. Under Wine without a display, the likeliest cause
        // is no usable graphics driver.
        std::fprintf(stderr, "cpp_host: the detector refused Detect; its reason is in the log (--log FILE)\n");
        return 2;
    }
    PumpUntilFinished(sink);

    std::vector<uint8_t> resultBytes(LRD_IP_INFO_ARRAY_SIZE(count), 0);
    IPInfoArray* result = reinterpret_cast<IPInfoArray*>(resultBytes.data());
    int answered = 0;
    if (detector->GetSortedIPArray(result)) {
        for (uint32_t i = 0; i < result->dwCount; ++i) {
            const IPInfo& info = result->info[i];
            // 5000 ms is the value of a server that never answered.
            if (info.dwRTT < 5000) {
                ++answered;
                std::printf("%u. %s:%u  %u ms  load %u\n", i + 1, info.szIP, unsigned(info.ushPort),
                            unsigned(info.dwRTT), unsigned(info.dwLoad));
            } else {
                std::printf("%u. %s:%u  no reply\n", i + 1, info.szIP, unsigned(info.ushPort));
            }
        }
    }
    return answered > 0 ? 0 : 1;
}
