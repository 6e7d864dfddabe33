#include "ProbeHost.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

#include "ZelFact.h"

namespace lrdprobe {

namespace {

// How long past its time limit a detection may take to end before lrdprobe
// stops waiting: the end timer fires on a busy machine late, but it fires.
constexpr DWORD kEndMarginMs = 5000;

enum : uint32_t {
    kErrorBit = 1,
    kTraceBit = 2,
};

std::string ErrorText(DWORD code)
{
    char text[512] = {0};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                  sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' '))
        text[--length] = '\0';
    std::string result = "error " + std::to_string(code);
    return length > 0 ? result + ": " + text : result;
}

// The resolver's own words first, as the system says them ("Host not found"),
// then its error number: what an operator reads is the reason, what a search
// finds is the number.
std::string ResolverText(DWORD code)
{
    char text[512] = {0};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                  sizeof text, nullptr);
    while (length > 0 && strchr("\r\n .", text[length - 1]) != nullptr)
        text[--length] = '\0';
    std::string number = "error " + std::to_string(code);
    return length > 0 ? std::string(text) + " (" + number + ")" : number;
}

// Initialize accepts even when its window or socket step failed, so that shows
// as a refused Detect. Under Wine the usual cause is a prefix without a usable
// graphics driver (no display): hidden windows then cannot be made.
std::string RefusedDetectMessage()
{
    std::string message = "the detector refused Detect: it could not make its window or socket";
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr)
        message += "; under Wine the likeliest cause is no usable graphics driver (no display), which the null "
                   "driver mends: wine reg add 'HKCU\\Software\\Wine\\Drivers' /v Graphics /d null /f";
    return message + " (the module's Error lines, shown with -v or --log, name the failed step)";
}

std::string ProgramDirectory()
{
    char path[MAX_PATH] = {0};
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string program(path, length);
    return program.substr(0, program.find_last_of("\\/"));
}

// Signalled by the console control handler, which runs on a thread of its own.
HANDLE g_interrupt = CreateEventA(nullptr, TRUE, FALSE, nullptr);
HANDLE g_figures = CreateEventA(nullptr, FALSE, FALSE, nullptr);
volatile LONG g_probing = 0;
char g_figuresFile[MAX_PATH] = {0};
std::function<void()> g_showFigures;

BOOL WINAPI OnConsoleControl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    if (type == CTRL_BREAK_EVENT || (g_figuresFile[0] != '\0' && DeleteFileA(g_figuresFile))) {
        if (InterlockedCompareExchange(&g_probing, 0, 0) != 0)
            SetEvent(g_figures);
        return TRUE;
    }
    if (InterlockedCompareExchange(&g_probing, 0, 0) == 0) {
        // The main thread may hold the runtime's stream locks (reading standard
        // input) or wait in the resolver: write directly and end without the
        // runtime's exit handlers.
        static const char kLine[] = "lrdprobe: interrupted before probing began\n";
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), kLine, sizeof kLine - 1, &written, nullptr);
        TerminateProcess(GetCurrentProcess(), 130);
    }
    SetEvent(g_interrupt);
    return TRUE;
}

template <class F>
F Export(HMODULE library, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

class ProbeSink : public ILinkrateDetectorSink {
public:
    ProbeSink(const std::vector<Server>& servers, const std::function<void(const Reply&, bool)>& onReply,
              RoundResult& result)
        : m_progress(servers), m_onReply(onReply), m_result(result)
    {
    }

    void LRD_THISCALL OnIPDetected(const char* ip, uint16_t port, uint32_t rtt) override
    {
        // The text is the detector's only during this call.
        m_result.replies.push_back(Reply{ip != nullptr ? ip : "", port, rtt});
        bool listed = m_progress.Heard(m_result.replies.back());
        m_result.allAnswered = m_progress.AllAnswered();
        m_onReply(m_result.replies.back(), listed);
    }

    void LRD_THISCALL OnDetectFinished() override { m_result.finished = true; }

private:
    RoundProgress m_progress;
    const std::function<void(const Reply&, bool)>& m_onReply;
    RoundResult& m_result;
};

// Replies and the end timer reach the detector only through this thread's
// messages. Returns false when an interrupt ended the wait.
bool PumpUntil(const RoundResult& result, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (InterruptRequested())
            return false;
        DWORD elapsed = GetTickCount() - start;
        if (result.finished || result.allAnswered || elapsed >= timeoutMs)
            return true;
        HANDLE events[] = {g_interrupt, g_figures};
        if (MsgWaitForMultipleObjects(2, events, FALSE, timeoutMs - elapsed, QS_ALLINPUT) == WAIT_OBJECT_0 + 1 &&
            g_showFigures)
            g_showFigures();
    }
}

// Releases the detector on every way out of a round.
class DetectorHold {
public:
    explicit DetectorHold(ILinkrateDetector* detector) : m_detector(detector) {}
    ~DetectorHold()
    {
        if (m_detector != nullptr)
            m_detector->Release(0);
    }
    DetectorHold(const DetectorHold&) = delete;
    DetectorHold& operator=(const DetectorHold&) = delete;

private:
    ILinkrateDetector* m_detector;
};

// Writes the module's section of a framework configuration file with the
// re-probe count into a new file of the temporary folder; its path, or an empty
// text with `problem` set.
std::string WriteReprobeConfig(int32_t reprobes, std::string& problem)
{
    char folder[MAX_PATH] = {0};
    char path[MAX_PATH] = {0};
    DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length >= sizeof folder || GetTempFileNameA(folder, "lrd", 0, path) == 0) {
        problem = "-r: cannot make a configuration file in the temporary folder (" + ErrorText(GetLastError()) + ")";
        return {};
    }
    if (!WritePrivateProfileStringA("39", "ReprobeCount", std::to_string(reprobes).c_str(), path)) {
        problem = std::string("-r: cannot write ") + path + " (" + ErrorText(GetLastError()) + ")";
        DeleteFileA(path);
        return {};
    }
    return path;
}

}  // namespace

ProbeHost::~ProbeHost()
{
    if (!m_configPath.empty())
        DeleteFileA(m_configPath.c_str());
}

void CatchInterrupt()
{
    DWORD length = GetEnvironmentVariableA("LRDPROBE_FIGURES_FILE", g_figuresFile, sizeof g_figuresFile);
    if (length >= sizeof g_figuresFile)
        g_figuresFile[0] = '\0';
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void BeginProbing() { InterlockedExchange(&g_probing, 1); }

bool InterruptRequested() { return WaitForSingleObject(g_interrupt, 0) == WAIT_OBJECT_0; }

void OnFiguresAsked(std::function<void()> show) { g_showFigures = std::move(show); }

bool WaitUnlessInterrupted(uint32_t ms)
{
    DWORD start = GetTickCount();
    HANDLE events[] = {g_interrupt, g_figures};
    for (DWORD elapsed = 0; elapsed < ms; elapsed = GetTickCount() - start) {
        DWORD woken = WaitForMultipleObjects(2, events, FALSE, ms - elapsed);
        if (woken == WAIT_OBJECT_0)
            return false;
        if (woken == WAIT_OBJECT_0 + 1 && g_showFigures)
            g_showFigures();
    }
    return !InterruptRequested();
}

uint32_t TickMs() { return GetTickCount(); }

std::string UtcNowText()
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    char text[32];
    snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond, now.wMilliseconds);
    return text;
}

void PrepareOutput()
{
    DWORD mode = 0;
    if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode))
        _setmode(_fileno(stdout), _O_BINARY);
    else
        SetConsoleOutputCP(CP_UTF8);
    if (!GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode))
        _setmode(_fileno(stderr), _O_BINARY);
}

std::string ResolveIPv4(const std::string& name, std::vector<uint32_t>& addresses)
{
    // The module starts WinSock only with its first detector; names are resolved
    // before that. The reference is held for the life of the process.
    static const int started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0)
        return ResolverText(DWORD(started));
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* found = nullptr;
    int error = getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (error != 0)
        return ResolverText(DWORD(error));
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next)
        if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in))
            addresses.push_back(ntohl(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr));
    freeaddrinfo(found);
    return {};
}

std::string ProbeHost::Load(const Options& options)
{
    std::string directory = ProgramDirectory();
    // A build tree keeps the shipped factory library in host\ (the tests' own
    // ZelFact.dll sits beside the programs there); a release has it beside lrdprobe.
    std::string factoryPath = directory + "\\host\\ZelFact.dll";
    if (GetFileAttributesA(factoryPath.c_str()) == INVALID_FILE_ATTRIBUTES)
        factoryPath = directory + "\\ZelFact.dll";
    HMODULE factory = LoadLibraryA(factoryPath.c_str());
    if (factory == nullptr)
        return "cannot load the host factory library " + factoryPath + " (" + ErrorText(GetLastError()) + ")";
    auto configure = Export<PFN_ZelFactConfigure>(factory, "ZelFactConfigure");
    if (configure == nullptr)
        return factoryPath + " is not lrdprobe's factory library: it lacks ZelFactConfigure";
    uint32_t debugMask = options.verbose ? kErrorBit | kTraceBit : 0;
    uint32_t fileMask = options.logPath.empty() ? 0 : kErrorBit | kTraceBit;
    if (configure(debugMask, fileMask, options.logPath.c_str()) == 0)
        return "--log " + options.logPath + ": cannot open the file (" + ErrorText(GetLastError()) + ")";

    std::string modulePath = options.modulePath.empty() ? directory + "\\LinkrateDetector.dll" : options.modulePath;
    HMODULE module = LoadLibraryA(modulePath.c_str());
    if (module == nullptr)
        return "cannot load the module " + modulePath + " (" + ErrorText(GetLastError()) + ")";
    m_create = Export<PFN_CreateComponent>(module, "CreateComponent");
    auto setFactory = Export<PFN_SetFactoryHandle>(module, "SetFactoryHandle");
    if (m_create == nullptr || setFactory == nullptr)
        return "the module " + modulePath + " lacks the export " +
               (m_create == nullptr ? "CreateComponent" : "SetFactoryHandle");
    setFactory(factory);

    // The module reads its settings from the framework's configuration file that
    // its registry path names. lrdprobe injects the factory library, so that file
    // serves the module's own section alone: a file of lrdprobe's own, named
    // through SetDLLRegistry as a host names its configuration, sets the count
    // for this run without touching any file another host may read.
    if (options.reprobes != kReprobesUnset) {
        auto setRegistry = Export<PFN_SetDLLRegistry>(module, "SetDLLRegistry");
        if (setRegistry == nullptr)
            return "the module " + modulePath + " lacks the export SetDLLRegistry";
        std::string problem;
        m_configPath = WriteReprobeConfig(options.reprobes, problem);
        if (m_configPath.empty())
            return problem;
        setRegistry(m_configPath.c_str());
    }
    return {};
}

std::string ProbeHost::RunRound(const std::vector<Server>& servers, uint32_t timeLimitMs,
                                const std::function<void(const Reply&, bool)>& onReply, RoundResult& result)
{
    result = RoundResult{};
    // The sink outlives the detector.
    ProbeSink sink(servers, onReply, result);
    auto* detector = static_cast<ILinkrateDetector*>(m_create((int32_t)LRD_DETECTOR_ID, 0));
    if (detector == nullptr)
        return "the module gave no detector (component 39)";
    DetectorHold hold(detector);
    if (detector->Initialize(&sink) == 0)
        return "the detector refused Initialize";

    std::vector<uint8_t> listBytes(LRD_SERVER_LIST_SIZE(servers.size()), 0);
    auto* list = reinterpret_cast<ServerList*>(listBytes.data());
    list->ushCount = uint16_t(servers.size());
    auto* records = reinterpret_cast<ServerInfo*>(listBytes.data() + offsetof(ServerList, servers));
    for (size_t i = 0; i < servers.size(); ++i) {
        ServerInfo& info = records[i];
        memcpy(info.szAddr, servers[i].address.c_str(), servers[i].address.size() + 1);
        info.ushPort = servers[i].port;
    }
    if (detector->Detect(list, timeLimitMs) == 0) {
        detector->Finalize();
        return RefusedDetectMessage();
    }
    if (!PumpUntil(result, timeLimitMs + kEndMarginMs))
        result.interrupted = true;

    std::vector<uint8_t> arrayBytes(LRD_IP_INFO_ARRAY_SIZE(servers.size()), 0);
    auto* array = reinterpret_cast<IPInfoArray*>(arrayBytes.data());
    if (detector->GetSortedIPArray(array) == 0) {
        detector->Finalize();
        return "the detector refused GetSortedIPArray";
    }
    uint32_t count = array->dwCount < servers.size() ? array->dwCount : uint32_t(servers.size());
    const auto* infos = reinterpret_cast<const IPInfo*>(arrayBytes.data() + offsetof(IPInfoArray, info));
    result.sorted.assign(infos, infos + count);
    detector->Finalize();
    return {};
}

}  // namespace lrdprobe
