// A random host: a population of host threads plays the real module through
// random sequences of its public operations, with short random sleeps patched
// into the module's platform calls, and checks what any host may rely on:
//   - no access violation anywhere (counted by a vectored handler, so that the
//     ones the system swallows in timer callbacks count too), no damaged heap;
//   - every operation's result as the detector's states give it (Detect is
//     accepted once in a detector's life, never after Finalize);
//   - every accepted Detect with a time limit and a sink ends exactly once, no
//     earlier than its limit, unless it was finalised or released first; the
//     sink hears nothing after Finalize or Release and nothing on another thread;
//   - no registry record lost: ZelvoDllCanUnloadNow says 0 while a detector
//     lives, and freeing the module when it says 1 is safe, also while another
//     thread is inside the module's window or timer procedure, whose hold ends
//     in the system's code;
//   - no timer of a detector left after Finalize, an end or a release on its
//     own thread;
//   - at the end of every seed the process's baseline, kind by kind: heap,
//     TLS indexes, handles by object type, window classes, the memory service's
//     buffers, and no leak report.
//
// Each seed decides which operations its hosts use (a seed without the free map
// or without unloading finds other schedules than one with everything) and
// every thread's sequence of operations; the interleaving is the machine's.
//
//   random_host --seed N [--threads N]   runs one seed in this process
//   random_host [--seeds K] [--first N] [--threads N]
//                                        runs K seeds, each in a process of its
//                                        own; the last line is "N passed, N failed"
#include <winsock2.h>
#include <windows.h>

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "ImportFaults.h"
#include "LinkrateDetector.h"
#include "LoadedModule.h"
#include "ProcessCensus.h"
#include "ZelFactLibrary.h"

namespace {

const char kModuleName[] = "LinkrateDetector.dll";
const char kWindowClass[] = "LinkrateDetectorModuleWindow";
// Generous: a detection that has not ended this long after its limit never will.
const DWORD kEndDeadlineMs = 10000;
// A seed whose hosts have not all finished by then hangs.
const DWORD kSeedDeadlineMs = 240000;
// Abandoned detectors kept before a host that does not need one cleans one up:
// enough to outlive the few hundred threads after which thread ids come back.
const size_t kOrphanBacklog = 512;
// Thread ids an exit-open seed wants to see come back, and its bound on threads.
const int kIdsReused = 8;
const int kMostThreads = 4000;
// Detectors not yet released, each with its socket at most, and the sockets the
// census lets WinSock's list of the process's sockets hold before the baseline.
const int kMostDetectors = 1000;
const int kMostSockets = 1024;

// ---- Output and failures -------------------------------------------------

HANDLE g_out;
uint64_t g_seed;

void Print(const char* format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length < 0)
        return;
    if (length >= (int)sizeof line)
        length = (int)sizeof line - 1;
    DWORD written = 0;
    WriteFile(g_out, line, (DWORD)length, &written, nullptr);
}

// Failures of one kind (one format) are printed once, with the first one's
// details, and counted; the run goes on, so that one seed shows every kind it met.
struct FailureKind {
    const char* format;
    int count;
};
// Slim locks: a critical section would make a kernel object at its first
// contention, which the handle count at the end would see.
SRWLOCK g_failLock = SRWLOCK_INIT;
FailureKind g_failureKinds[64];
std::atomic<int> g_failures{0};

void Fail(const char* format, ...)
{
    bool first = false;
    AcquireSRWLockExclusive(&g_failLock);
    int kind = 0;
    while (kind < 64 && g_failureKinds[kind].format != nullptr && g_failureKinds[kind].format != format)
        ++kind;
    if (kind < 64) {
        g_failureKinds[kind].format = format;
        first = g_failureKinds[kind].count++ == 0;
    }
    ReleaseSRWLockExclusive(&g_failLock);
    ++g_failures;
    if (!first)
        return;
    char text[768];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Print("seed %llu: FAILED: %s\n", (unsigned long long)g_seed, text);
}

// ---- Randomness ------------------------------------------------------------

// splitmix64: every thread's generator comes from the seed and the thread's
// number alone.
class Rng {
public:
    explicit Rng(uint64_t seed = 0) : m_state(seed) {}
    uint64_t Next()
    {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : (uint32_t)(Next() % n); }
    bool OneIn(uint32_t n) { return Below(n) == 0; }
    uint32_t Range(uint32_t low, uint32_t high) { return low + Below(high - low + 1); }

private:
    uint64_t m_state;
};

// Which operations the seed's hosts use, besides the everyday ones.
struct Config {
    int lanes = 4;          // host threads alive at a time
    int threads = 200;      // host threads in all
    bool delays = true;     // random sleeps at the module's platform calls
    bool freeMap = true;    // auto-release and ZelvoDllFreeMap
    bool unload = true;     // ZelvoDllCanUnloadNow, FreeLibrary, LoadLibrary
    bool exitOpen = true;   // threads that end with detectors open
    bool crossRelease = true;  // releases on another thread than the owner's
    bool sinkActions = true;   // sinks that call back into the detector
    bool textList = true;      // the text-list form of Detect
    bool misuse = true;        // operations on detectors in a state that refuses them
    bool untilIdsReused = false;  // more threads until kIdsReused ids came back
};

Config MakeConfig(uint64_t seed, int threads)
{
    Rng rng(seed ^ 0x5EED5EED5EEDull);
    Config config;
    config.lanes = (int)rng.Range(2, 6);
    config.delays = !rng.OneIn(4);
    config.freeMap = rng.OneIn(2);
    config.unload = rng.OneIn(2);
    config.exitOpen = rng.OneIn(2);
    config.crossRelease = rng.OneIn(2);
    config.sinkActions = !rng.OneIn(4);
    config.textList = rng.OneIn(2);
    config.misuse = rng.OneIn(2);
    config.threads = threads > 0 ? threads : 160;
    // A thread's id comes back only after a few hundred others under Wine (much
    // sooner on Windows): a seed whose threads leave detections behind goes on
    // starting threads, each a host only when it has an ended host's id, until
    // enough ids have come back, whatever its count of hosts.
    config.untilIdsReused = config.exitOpen;
    return config;
}

Config g_config;

// ---- The module, loaded afresh after every unload --------------------------

struct ModuleRange {
    uintptr_t begin;
    uintptr_t end;
};

// Every host call into the module holds this shared; an unload holds it
// exclusively: a host knows when its own calls have returned, and frees the
// module only then. Pumping holds nothing: what the module runs from a window
// message or a timer is the module's to account for.
SRWLOCK g_moduleUse = SRWLOCK_INIT;
std::unique_ptr<LoadedModule> g_module;
std::unique_ptr<ImportFaults> g_faults;
std::atomic<uintptr_t> g_moduleBegin{0}, g_moduleEnd{0};
ModuleRange g_unloaded[64];
std::atomic<int> g_unloadedCount{0};
HMODULE g_factoryHandle;

// A value of each thread's own, in a TLS slot of the system's. The runtime's
// thread_local would give every thread that touches one a record that goes
// back to a pool at the thread's end and is never freed: a pool as large as the
// most threads alive at once, which the census would count as the module's.
template <class T>
class ThreadValue {
public:
    ThreadValue() : m_index(TlsAlloc()) {}
    ThreadValue(const ThreadValue&) = delete;
    ThreadValue& operator=(const ThreadValue&) = delete;
    operator T() const { return (T)(uintptr_t)TlsGetValue(m_index); }
    T operator->() const { return *this; }
    ThreadValue& operator=(T value)
    {
        TlsSetValue(m_index, (void*)(uintptr_t)value);
        return *this;
    }
    T operator++() { return *this = T(*this) + 1; }
    T operator--() { return *this = T(*this) - 1; }
    T operator++(int)
    {
        const T was = *this;
        *this = was + 1;
        return was;
    }

private:
    DWORD m_index;
};

// Calls into the module this thread is inside: a sink called from inside one
// would break the rule that sinks hear only from dispatched messages.
ThreadValue<int> t_callDepth;

class ModuleCall {
public:
    ModuleCall()
    {
        if (t_callDepth++ == 0)
            AcquireSRWLockShared(&g_moduleUse);
    }
    ~ModuleCall()
    {
        if (--t_callDepth == 0)
            ReleaseSRWLockShared(&g_moduleUse);
    }
    ModuleCall(const ModuleCall&) = delete;
    ModuleCall& operator=(const ModuleCall&) = delete;
};

void OnPlatformCall(PlatformCall call);

// The module's procedures let their hold go by jumping to the system's
// InterlockedDecrement; its import slot leads here, which sees where that
// decrement returns to: never into the module, whose code may be unmapped by
// then.
typedef LONG(WINAPI* Decrement)(LONG volatile*);
Decrement g_systemDecrement;
ThreadValue<int> t_holdReleases;

LONG WINAPI ReleaseHold(LONG volatile* count)
{
    const uintptr_t back = (uintptr_t)__builtin_return_address(0);
    ++t_holdReleases;
    if (back >= g_moduleBegin.load() && back < g_moduleEnd.load())
        Fail("the module's hold was released with the module's code still to run (returning to +0x%lx)",
             (unsigned long)(back - g_moduleBegin.load()));
    return g_systemDecrement(count);
}

void LoadModule()
{
    g_module = std::make_unique<LoadedModule>(kModuleName);
    g_module->SetFactoryHandle(g_factoryHandle);
    auto* base = reinterpret_cast<uint8_t*>(g_module->Handle());
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    g_moduleBegin = (uintptr_t)base;
    g_moduleEnd = (uintptr_t)base + nt->OptionalHeader.SizeOfImage;
    g_faults = std::make_unique<ImportFaults>(g_module->Handle());
    if (void** slot = ImportFaults::ImportSlot(g_module->Handle(), "KERNEL32.dll", "InterlockedDecrement")) {
        g_systemDecrement = reinterpret_cast<Decrement>(*slot);
        ImportFaults::WriteImportSlot(slot, reinterpret_cast<const void*>(&ReleaseHold));
    } else {
        Fail("the module does not release its procedures' hold through the system's InterlockedDecrement");
    }
}

void UnloadModule()
{
    g_faults.reset();
    int slot = g_unloadedCount.load();
    if (slot < 64) {
        g_unloaded[slot] = ModuleRange{g_moduleBegin.load(), g_moduleEnd.load()};
        g_unloadedCount = slot + 1;
    }
    g_moduleBegin = 0;
    g_moduleEnd = 0;
    g_module.reset();
}

// Where an address lies, as text: "in the module at +0x1234" and the like, so
// that addr2line finds the line (the offset added to the DLL's image base).
const char* CodeAt(uintptr_t address, char* text, size_t size)
{
    const uintptr_t begin = g_moduleBegin.load();
    if (address >= begin && address < g_moduleEnd.load()) {
        snprintf(text, size, "in the module at +0x%lx", (unsigned long)(address - begin));
        return text;
    }
    for (int i = 0; i < g_unloadedCount.load() && i < 64; ++i)
        if (address >= g_unloaded[i].begin && address < g_unloaded[i].end) {
            snprintf(text, size, "where an unloaded copy of the module was, at +0x%lx",
                     (unsigned long)(address - g_unloaded[i].begin));
            return text;
        }
    return "outside the module";
}

// ---- Exceptions and debugger output ----------------------------------------

struct HostThread;
ThreadValue<HostThread*> t_self;
const char* Doing();

std::atomic<int> g_accessViolations{0};

LONG CALLBACK OnException(EXCEPTION_POINTERS* info)
{
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    const DWORD code = record->ExceptionCode;
    if (code == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
        const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
        if (text == nullptr)
            return EXCEPTION_CONTINUE_EXECUTION;
        char line[256];
        snprintf(line, sizeof line, "%s", text);
        line[strcspn(line, "\r\n")] = '\0';
        if (strstr(text, "To remove a component not exist") != nullptr)
            Fail("a component left the registry twice: \"%s\"", line);
        else if (strstr(text, "Found leak") != nullptr)
            Fail("unloading the module reported leaked components: \"%s\"", line);
        else if (strstr(text, "Zelvo[Error]") != nullptr || strstr(text, "[Zelvo_Error]") != nullptr)
            Fail("the module wrote the glue error line \"%s\"", line);
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (code == EXCEPTION_ACCESS_VIOLATION) {
        ++g_accessViolations;
        const uintptr_t at = (uintptr_t)record->ExceptionAddress;
        const ULONG_PTR kind = record->NumberParameters >= 2 ? record->ExceptionInformation[0] : 0;
        char where[96];
        Fail("access violation at 0x%08lx %s, %s 0x%08lx, on thread %lu (in \"%s\")", (unsigned long)at,
             CodeAt(at, where, sizeof where), kind == 8 ? "executing" : kind == 1 ? "writing" : "reading",
             (unsigned long)(record->NumberParameters >= 2 ? record->ExceptionInformation[1] : 0),
             (unsigned long)GetCurrentThreadId(), Doing());
        return EXCEPTION_CONTINUE_SEARCH;
    }
    char where[96];
    if (code == STATUS_HEAP_CORRUPTION || code == EXCEPTION_ILLEGAL_INSTRUCTION ||
        code == EXCEPTION_PRIV_INSTRUCTION || code == STATUS_STACK_BUFFER_OVERRUN)
        Fail("exception 0x%08lx at 0x%08lx %s", (unsigned long)code, (unsigned long)(uintptr_t)record->ExceptionAddress,
             CodeAt((uintptr_t)record->ExceptionAddress, where, sizeof where));
    return EXCEPTION_CONTINUE_SEARCH;
}

// ---- Hosts and their detectors ---------------------------------------------

enum class Life { kAlive, kReleasing, kReleased };

struct Detector;

class Sink : public ILinkrateDetectorSink {
public:
    void LRD_THISCALL OnIPDetected(const char* ip, uint16_t port, uint32_t rtt) override;
    void LRD_THISCALL OnDetectFinished() override;
    Detector* detector = nullptr;
};

// What the harness knows of one detector. Under g_state, except the pointer.
struct Detector {
    int number = 0;
    ILinkrateDetector* component = nullptr;
    Sink sink;
    HostThread* owner = nullptr;  // null once the owning thread has ended
    DWORD ownerThreadId = 0;
    Life life = Life::kAlive;
    bool autoRelease = false;
    bool initialised = false;  // Initialize accepted
    bool withSink = false;
    bool finalised = false;    // Finalize after an accepted Initialize
    bool detected = false;     // Detect accepted
    bool ended = false;        // OnDetectFinished heard
    bool tainted = false;      // an unexpected result: no expectation holds any more
    uint32_t limit = 0;
    uint32_t servers = 0;
    DWORD detectTick = 0;
};

struct HostThread {
    int number = 0;
    DWORD threadId = 0;
    HANDLE handle = nullptr;
    // Held while the thread is inside an operation of its detectors (Release
    // aside) or dispatches their messages: another thread that releases one of
    // them holds it, since a host never releases a detector while its own thread
    // is inside it.
    CRITICAL_SECTION inside;
    // Operations, sinks and delays draw apart, so that a replay makes the same
    // choice of operations whatever the timing did to the others.
    Rng rng;
    Rng sinkRng;
    Rng delayRng;
    std::atomic<const char*> doing{"starting"};
    // Inside DispatchMessageA, and held there at one of the module's platform
    // calls, for another thread to release, free the map or unload meanwhile.
    std::atomic<bool> dispatching{false}, heldInside{false};
    // Started beyond the seed's count to bring an ended thread's id back: it
    // runs as a host only when it has one.
    bool onlyIfReused = false;
    bool noHost = false;  // started so, and had no ended host's id
    // A detector of this thread was released on another thread during its
    // detection: that timer's last tick may still come here.
    std::atomic<bool> cutOffTick{false};
    bool ended = false;
};

// The harness's own lock over the tables below; innermost of all its locks
// (order: a thread's inside lock, then g_gate, then g_moduleUse, then g_state).
SRWLOCK g_state = SRWLOCK_INIT;
std::deque<std::unique_ptr<Detector>> g_detectors;
std::deque<std::unique_ptr<HostThread>> g_threads;

// The free map may run beside a release that has begun, never before one that a
// host is about to make: a host cannot call Release on a component that the free
// map may already have destroyed. ZelvoDllFreeMap holds it exclusively; a host's
// release of an auto-release detector holds it shared until the release reaches
// its first platform call (its teardown) or returns.
SRWLOCK g_gate = SRWLOCK_INIT;
ThreadValue<bool> t_gateHeld;

DWORD g_mainThread;
const char* Doing()
{
    if (t_self != nullptr)
        return t_self->doing.load();
    return GetCurrentThreadId() == g_mainThread ? "the main thread" : "a thread of no host";
}

std::atomic<bool> g_windDown{false};
std::atomic<bool> g_unloading{false};

struct Counters {
    std::atomic<int> operations{0}, detections{0}, ends{0}, reports{0}, sinkReleases{0}, crossReleases{0},
        orphanReleases{0}, reusedIdReleases{0}, freeMaps{0}, freeMapReleases{0}, unloads{0}, unloadAnswers{0},
        idReuses{0};
} g_counts;

// At every platform call of the module: a release that holds the gate has
// reached its teardown and lets the free map go; and, when the seed wants it, a
// short random sleep, most often at the calls the module makes fewest of.
void OnPlatformCall(PlatformCall call)
{
    if (t_gateHeld) {
        t_gateHeld = false;
        ReleaseSRWLockShared(&g_gate);
    }
    if (!g_config.delays || t_self == nullptr)
        return;
    Rng& rng = t_self->delayRng;
    // Inside a dispatch, now and then long enough for the other threads to act.
    if (t_self->dispatching && rng.OneIn(6)) {
        t_self->heldInside = true;
        Sleep(rng.Range(5, 40));
        t_self->heldInside = false;
        return;
    }
    const uint32_t oneIn = call == PlatformCall::sendto ? 32 : call == PlatformCall::recvfrom ? 8 : 4;
    if (!rng.OneIn(oneIn))
        return;
    const uint32_t ms = rng.Below(5);
    if (ms == 0)
        SwitchToThread();
    else
        Sleep(ms);
}

class StateLock {
public:
    StateLock() { AcquireSRWLockExclusive(&g_state); }
    ~StateLock() { ReleaseSRWLockExclusive(&g_state); }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;
};

class InsideLock {
public:
    explicit InsideLock(HostThread& thread) : m_thread(thread) { EnterCriticalSection(&m_thread.inside); }
    ~InsideLock() { LeaveCriticalSection(&m_thread.inside); }
    InsideLock(const InsideLock&) = delete;
    InsideLock& operator=(const InsideLock&) = delete;

private:
    HostThread& m_thread;
};

// ---- Servers -----------------------------------------------------------------

// An echo on 127.0.0.1 on a thread of its own: every request comes straight back,
// which the detector takes as a reply. Silent servers are loopback ports where
// nothing listens.
class Responder {
public:
    Responder()
    {
        m_socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in own{};
        own.sin_family = AF_INET;
        own.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_socket, reinterpret_cast<sockaddr*>(&own), sizeof own);
        int size = sizeof own;
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&own), &size);
        port = ntohs(own.sin_port);
        DWORD timeoutMs = 50;
        setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
        silentPort = FreePort();
        m_thread = CreateThread(nullptr, 0, &Responder::Run, this, 0, nullptr);
    }
    ~Responder()
    {
        m_stop = true;
        WaitForSingleObject(m_thread, INFINITE);
        CloseHandle(m_thread);
        closesocket(m_socket);
    }
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    uint16_t port = 0;
    uint16_t silentPort = 0;

private:
    static uint16_t FreePort()
    {
        SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in own{};
        own.sin_family = AF_INET;
        own.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(probe, reinterpret_cast<sockaddr*>(&own), sizeof own);
        int size = sizeof own;
        getsockname(probe, reinterpret_cast<sockaddr*>(&own), &size);
        closesocket(probe);
        return ntohs(own.sin_port);
    }
    static DWORD WINAPI Run(void* self)
    {
        auto* responder = static_cast<Responder*>(self);
        char buffer[256];
        while (!responder->m_stop) {
            sockaddr_in from{};
            int fromSize = sizeof from;
            int size = recvfrom(responder->m_socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                                &fromSize);
            if (size > 0)
                sendto(responder->m_socket, buffer, size, 0, reinterpret_cast<sockaddr*>(&from), fromSize);
        }
        return 0;
    }

    SOCKET m_socket;
    HANDLE m_thread = nullptr;
    std::atomic<bool> m_stop{false};
};

Responder* g_responder;

// ---- Sinks -------------------------------------------------------------------

// The sink's own calls into the detector, from inside a callback.
void SinkActs(Detector* d, bool finished);

// The detector's life when the sink was entered, before it waits for its
// thread's inside lock (another thread may hold it to release this detector).
Life LifeAtEntry(Detector* d)
{
    StateLock lock;
    return d->life;
}

// A call that began while a release on another thread was under way raced with
// it, which the release cannot prevent without waiting for this thread; one that
// began after the release had returned is the module's fault.
bool SinkMayHear(Detector* d, const char* callback, Life atEntry)
{
    if (t_callDepth != 0)
        Fail("%s from inside an operation of the host", callback);
    if (d->owner == nullptr || d->owner->threadId != GetCurrentThreadId()) {
        Fail("%s on thread %lu, not on the detector's own thread %lu", callback, (unsigned long)GetCurrentThreadId(),
             (unsigned long)d->ownerThreadId);
        return false;
    }
    if (d->tainted)
        return false;
    if (atEntry == Life::kReleased)
        Fail("%s after the detector's Release had returned", callback);
    if (d->life != Life::kAlive)
        return false;
    if (d->finalised) {
        Fail("%s after Finalize", callback);
        return false;
    }
    if (!d->detected) {
        Fail("%s without an accepted Detect", callback);
        return false;
    }
    return true;
}

void Sink::OnIPDetected(const char* ip, uint16_t, uint32_t)
{
    const Life atEntry = LifeAtEntry(detector);
    if (t_self == nullptr) {
        Fail("OnIPDetected on a thread of no host");
        return;
    }
    InsideLock inside(*t_self);
    {
        StateLock lock;
        if (!SinkMayHear(detector, "OnIPDetected", atEntry))
            return;
        if (ip == nullptr || strncmp(ip, "127.", 4) != 0)
            Fail("OnIPDetected with an address that no server here has: %s", ip != nullptr ? ip : "(null)");
        ++g_counts.reports;
    }
    SinkActs(detector, false);
}

void Sink::OnDetectFinished()
{
    const Life atEntry = LifeAtEntry(detector);
    if (t_self == nullptr) {
        Fail("OnDetectFinished on a thread of no host");
        return;
    }
    InsideLock inside(*t_self);
    {
        StateLock lock;
        if (!SinkMayHear(detector, "OnDetectFinished", atEntry))
            return;
        Detector* d = detector;
        const DWORD elapsed = GetTickCount() - d->detectTick;
        if (d->limit == 0)
            Fail("OnDetectFinished for a detection without a time limit");
        else if (d->ended)
            Fail("OnDetectFinished twice for one detection");
        else if (elapsed + 20 < d->limit)
            Fail("OnDetectFinished after %lu ms for a time limit of %u ms", (unsigned long)elapsed, d->limit);
        d->ended = true;
        ++g_counts.ends;
    }
    SinkActs(detector, true);
}

// ---- Operations ----------------------------------------------------------------

// Under the state lock, as a release begins: a detection still timed, released
// away from its thread, leaves that thread one more tick of the module's.
void NoteCutOff(Detector* d, DWORD releasingThread)
{
    if (d->ownerThreadId != releasingThread && d->owner != nullptr && d->detected && d->limit != 0 && !d->ended &&
        !d->finalised)
        d->owner->cutOffTick = true;
}

// Marks the detector as on its way out; false when someone else got there first.
bool ClaimRelease(Detector* d, DWORD releasingThread)
{
    StateLock lock;
    if (d->life != Life::kAlive)
        return false;
    d->life = Life::kReleasing;
    NoteCutOff(d, releasingThread);
    return true;
}

// Releases a detector claimed by ClaimRelease.
void ReleaseClaimed(Detector* d, int32_t force)
{
    bool autoRelease;
    {
        StateLock lock;
        autoRelease = d->autoRelease;
    }
    if (autoRelease) {
        AcquireSRWLockShared(&g_gate);
        t_gateHeld = true;
    }
    {
        ModuleCall call;
        d->component->Release(force);
        // Before the module may be unloaded: the harness's count and the
        // registry agree whenever an unload looks.
        StateLock lock;
        d->life = Life::kReleased;
    }
    if (t_gateHeld) {
        t_gateHeld = false;
        ReleaseSRWLockShared(&g_gate);
    }
}

std::vector<Detector*> OwnDetectors(HostThread& self)
{
    StateLock lock;
    std::vector<Detector*> own;
    for (auto& d : g_detectors)
        if (d->owner == &self && d->life == Life::kAlive)
            own.push_back(d.get());
    return own;
}

// One of the thread's detectors: mostly one in the state the operation moves on
// from (`fits`, read under the state lock), sometimes any, to be refused.
template <class Fits>
Detector* PickOwn(HostThread& self, Fits fits)
{
    std::vector<Detector*> own = OwnDetectors(self), fitting;
    {
        StateLock lock;
        for (Detector* d : own)
            if (fits(*d))
                fitting.push_back(d);
    }
    if (!g_config.misuse || (!fitting.empty() && !self.rng.OneIn(8)))
        own.swap(fitting);
    return own.empty() ? nullptr : own[self.rng.Below((uint32_t)own.size())];
}

Detector* PickOwn(HostThread& self)
{
    return PickOwn(self, [](const Detector&) { return true; });
}

void CheckRegistry()
{
    ModuleCall call;
    StateLock lock;
    int alive = 0;
    for (auto& d : g_detectors)
        alive += d->life == Life::kAlive ? 1 : 0;
    if (alive > 0 && g_module->ZelvoDllCanUnloadNow() != 0)
        Fail("ZelvoDllCanUnloadNow answered 1 while %d detectors were alive", alive);
}

void OpCreate(HostThread& self)
{
    if (g_windDown)
        return;
    {
        StateLock lock;
        int unreleased = 0;
        for (auto& d : g_detectors)
            unreleased += d->life != Life::kReleased ? 1 : 0;
        if (unreleased >= kMostDetectors)
            return;
    }
    auto owned = std::make_unique<Detector>();
    Detector* d = owned.get();
    d->sink.detector = d;
    d->owner = &self;
    d->ownerThreadId = self.threadId;
    ModuleCall call;
    IComponent* component = g_module->CreateComponent(LRD_DETECTOR_ID, (uint32_t)self.number);
    if (component == nullptr) {
        Fail("CreateComponent(39) gave no detector");
        return;
    }
    if (component->GetComponentID() != LRD_DETECTOR_ID || component->GetVersion() != 1)
        Fail("a new detector answers id %d, version %d", component->GetComponentID(), component->GetVersion());
    d->component = static_cast<ILinkrateDetector*>(component);
    StateLock lock;
    d->number = (int)g_detectors.size();
    g_detectors.push_back(std::move(owned));
}

// Operations on the thread's own detectors pick one while inside: from then on
// no other thread releases it.
void OpInitialize(HostThread& self)
{
    InsideLock inside(self);
    Detector* d = PickOwn(self, [](const Detector& d) { return !d.initialised; });
    if (d == nullptr)
        return;
    const bool withSink = !self.rng.OneIn(8);
    bool expected;
    {
        StateLock lock;
        expected = !d->initialised;
    }
    int32_t result;
    {
        ModuleCall call;
        result = d->component->Initialize(withSink ? &d->sink : nullptr);
    }
    StateLock lock;
    if (result == 1 && !d->initialised) {
        d->initialised = true;
        d->withSink = withSink;
    }
    if (result != (expected ? 1 : 0) && !d->tainted) {
        if (expected)
            Fail("Initialize refused on a new detector");
        else
            Fail("Initialize accepted on a detector %s", d->finalised ? "after Finalize" : "already initialised");
        d->tainted = true;
    }
}

void OnDetectResult(Detector* d, int32_t result, bool expected, uint32_t limit, uint32_t servers, DWORD tick);
enum OrphanRelease { kNoOrphan, kReleasedOrphan, kReleasedInherited };
OrphanRelease ReleaseOrphan(HostThread* self, bool all);
void OpPumpUntilEnd(HostThread& self);

void OpDetect(HostThread& self)
{
    InsideLock inside(self);
    Detector* d = PickOwn(self, [](const Detector& d) { return d.initialised && !d.finalised && !d.detected; });
    if (d == nullptr)
        return;
    Rng& rng = self.rng;
    const uint32_t limit = rng.OneIn(6) ? 0 : rng.Range(5, 90);
    const bool textList = g_config.textList && rng.OneIn(6);
    const uint32_t servers = rng.Range(1, 6);
    std::vector<uint8_t> storage(textList ? LRD_IP_STRING_LIST_SIZE(servers) : LRD_SERVER_LIST_SIZE(servers), 0);
    if (textList) {
        // Port 8000 for every one: nothing here listens there.
        auto* list = reinterpret_cast<IPStringList*>(storage.data());
        list->nCount = (int32_t)servers;
        for (uint32_t i = 0; i < servers; ++i)
            snprintf(list->szIP[i], sizeof list->szIP[i], "127.0.0.%u", 1 + rng.Below(3));
    } else {
        auto* list = reinterpret_cast<ServerList*>(storage.data());
        list->ushCount = (uint16_t)servers;
        for (uint32_t i = 0; i < servers; ++i) {
            ServerInfo& server = list->servers[i];
            const bool answers = rng.OneIn(2);
            snprintf(server.szAddr, sizeof server.szAddr, "127.0.0.%u", answers ? 1 : 1 + rng.Below(3));
            server.ushPort = answers ? g_responder->port : g_responder->silentPort;
        }
    }
    bool expected;
    {
        StateLock lock;
        expected = d->initialised && !d->finalised && !d->detected;
    }
    int32_t result;
    DWORD tick;
    {
        ModuleCall call;
        tick = GetTickCount();
        result = textList ? d->component->Detect(reinterpret_cast<IPStringList*>(storage.data()), limit)
                          : d->component->Detect(reinterpret_cast<ServerList*>(storage.data()), limit);
    }
    OnDetectResult(d, result, expected, limit, servers, tick);
    // A host that took over an ended thread's id (and so its timer ids) cleans
    // up what that thread left while its own detection runs, then waits for its
    // detection's end.
    if (result == 1 && g_config.exitOpen && ReleaseOrphan(&self, false) == kReleasedInherited)
        OpPumpUntilEnd(self);
}

void OnDetectResult(Detector* d, int32_t result, bool expected, uint32_t limit, uint32_t servers, DWORD tick)
{
    StateLock lock;
    if (result != (expected ? 1 : 0) && !d->tainted) {
        if (expected)
            Fail("Detect refused on an initialised detector");
        else if (d->finalised)
            Fail("Detect accepted after Finalize");
        else if (d->detected)
            Fail("Detect accepted while a detection was open");
        else
            Fail("Detect accepted before Initialize");
        d->tainted = true;
    }
    if (result == 1) {
        ++g_counts.detections;
        if (!d->detected) {
            d->detected = true;
            d->limit = limit;
            d->servers = servers;
            d->detectTick = tick;
        }
    }
}

// GetSortedIPArray on a detector of the calling thread (from a host operation or
// from the detector's own sink).
void ReadResult(Detector* d)
{
    uint32_t servers;
    bool expected;
    {
        StateLock lock;
        servers = d->servers;
        expected = d->detected && !d->finalised;
    }
    std::vector<uint8_t> buffer(LRD_IP_INFO_ARRAY_SIZE(servers + 1), 0xCD);
    int32_t result;
    {
        ModuleCall call;
        result = d->component->GetSortedIPArray(reinterpret_cast<IPInfoArray*>(buffer.data()));
    }
    StateLock lock;
    if (d->tainted)
        return;
    if (result != (expected ? 1 : 0)) {
        Fail("GetSortedIPArray %s", expected ? "refused during a detection" : "accepted without an open detection");
        d->tainted = true;
    } else if (result == 1 && reinterpret_cast<IPInfoArray*>(buffer.data())->dwCount != servers) {
        Fail("GetSortedIPArray gave %u candidates for %u servers",
             (unsigned)reinterpret_cast<IPInfoArray*>(buffer.data())->dwCount, servers);
    }
}

void Finalize(Detector* d)
{
    bool expected;
    {
        StateLock lock;
        expected = d->initialised;
    }
    int32_t result;
    {
        ModuleCall call;
        result = d->component->Finalize();
    }
    StateLock lock;
    if (d->initialised)
        d->finalised = true;
    if (result != (expected ? 1 : 0) && !d->tainted) {
        Fail("Finalize %s",
             expected ? "refused on an initialised detector" : "accepted on a detector never initialised");
        d->tainted = true;
    }
}

void OpRead(HostThread& self)
{
    InsideLock inside(self);
    if (Detector* d = PickOwn(self, [](const Detector& d) { return d.detected && !d.finalised; }))
        ReadResult(d);
}

void OpFinalize(HostThread& self)
{
    InsideLock inside(self);
    if (Detector* d = PickOwn(self, [](const Detector& d) { return d.initialised && !d.finalised; }))
        Finalize(d);
}

bool InModule(uintptr_t address) { return address >= g_moduleBegin.load() && address < g_moduleEnd.load(); }

// Whether a timer of the module may tick on this thread: one of its detectors
// has a timed detection open (or one whose end nobody hears), or was released
// elsewhere during one. After Finalize, an end or a release on its own thread,
// no timer of a detector remains.
bool ModuleTimerExpected(HostThread& self)
{
    if (self.cutOffTick)
        return true;
    StateLock lock;
    for (auto& d : g_detectors)
        if (d->owner == &self && d->life != Life::kReleased && d->detected && d->limit != 0 &&
            (d->tainted || !d->withSink || (!d->ended && !d->finalised)))
            return true;
    return false;
}

// No lock of the host's around DispatchMessageA: while this thread is inside the
// module's procedures, other threads release its detectors, free the map and
// unload as they please. Every dispatch into the module's window or timer
// procedure must come back out through the system's decrement of its hold.
void DispatchPending(HostThread& self)
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        // Thread timers are the module's alone here (Wine gives their procedure
        // as a handle of its own, not as the address).
        const bool timer = msg.message == WM_TIMER && msg.hwnd == nullptr && msg.lParam != 0;
        const bool window = msg.hwnd != nullptr && InModule((uintptr_t)GetWindowLongA(msg.hwnd, GWL_WNDPROC));
        if (timer && !ModuleTimerExpected(self))
            Fail("a timer of the module ticked on a thread whose detections were all finalised, ended or released "
                 "there");
        const int releases = t_holdReleases;
        self.dispatching = true;
        DispatchMessageA(&msg);
        self.dispatching = false;
        // A release on another thread may give the window the default
        // procedure between the look above and the dispatch: then the module's
        // procedure was never entered.
        const bool stillModule = window && InModule((uintptr_t)GetWindowLongA(msg.hwnd, GWL_WNDPROC));
        if ((timer || stillModule) && t_holdReleases == releases)
            Fail("a dispatch into the module's %s procedure came back without releasing its hold through the "
                 "system's InterlockedDecrement",
                 timer ? "timer" : "window");
    }
}

void PumpFor(HostThread& self, DWORD ms)
{
    const DWORD start = GetTickCount();
    do {
        DispatchPending(self);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    } while (GetTickCount() - start < ms);
}

void OpPump(HostThread& self) { PumpFor(self, self.rng.Below(30)); }

// Pumps until every open detection of this thread that must end has ended.
void OpPumpUntilEnd(HostThread& self)
{
    for (;;) {
        DispatchPending(self);
        Detector* late = nullptr;
        bool waiting = false;
        {
            StateLock lock;
            for (auto& d : g_detectors) {
                if (d->owner != &self || d->life != Life::kAlive || !d->detected || d->limit == 0 || !d->withSink ||
                    d->finalised || d->ended || d->tainted)
                    continue;
                waiting = true;
                if (GetTickCount() - d->detectTick > d->limit + kEndDeadlineMs)
                    late = d.get();
            }
            if (late != nullptr) {
                Fail("a detection that Detect accepted with a limit of %u ms has not ended %lu ms later", late->limit,
                     (unsigned long)(GetTickCount() - late->detectTick));
                late->tainted = true;
                continue;
            }
        }
        if (!waiting)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

void OpRelease(HostThread& self)
{
    Detector* d = PickOwn(self);
    if (d != nullptr && ClaimRelease(d, self.threadId))
        ReleaseClaimed(d, (int32_t)self.rng.Below(2));
}

void OpSetAutoRelease(HostThread& self)
{
    if (!g_config.freeMap)
        return;
    InsideLock inside(self);
    Detector* d = PickOwn(self);
    if (d == nullptr)
        return;
    AcquireSRWLockShared(&g_gate);
    {
        ModuleCall call;
        d->component->SetAutoRelease(1);
        if (d->component->GetAutoRelease() != 1)
            Fail("GetAutoRelease does not give back what SetAutoRelease stored");
        StateLock lock;
        d->autoRelease = true;
    }
    ReleaseSRWLockShared(&g_gate);
}

void OpFreeMap(HostThread& self)
{
    if (!g_config.freeMap)
        return;
    AcquireSRWLockExclusive(&g_gate);
    std::vector<HostThread*> held;
    std::vector<Detector*> handed;
    bool blocked = false;
    {
        // Every auto-release detector goes now, so none of their threads may be
        // inside one of them: hold them all, or leave the free map for later.
        StateLock lock;
        for (auto& d : g_detectors) {
            if (d->life != Life::kAlive || !d->autoRelease)
                continue;
            handed.push_back(d.get());
            HostThread* owner = d->owner;
            if (owner == nullptr || owner == &self || std::find(held.begin(), held.end(), owner) != held.end())
                continue;
            if (!TryEnterCriticalSection(&owner->inside)) {
                blocked = true;
                break;
            }
            held.push_back(owner);
        }
        if (!blocked) {
            for (Detector* d : handed) {
                d->life = Life::kReleasing;
                NoteCutOff(d, self.threadId);
            }
        }
    }
    if (!blocked) {
        ModuleCall call;
        g_module->ZelvoDllFreeMap();
        StateLock lock;
        for (Detector* d : handed)
            d->life = Life::kReleased;
        ++g_counts.freeMaps;
        g_counts.freeMapReleases += (int)handed.size();
    }
    for (HostThread* owner : held)
        LeaveCriticalSection(&owner->inside);
    ReleaseSRWLockExclusive(&g_gate);
}

void OpReleaseOthers(HostThread& self)
{
    if (!g_config.crossRelease)
        return;
    Detector* d = nullptr;
    HostThread* owner = nullptr;
    {
        // Mostly a detector whose thread is held inside a dispatch right now.
        StateLock lock;
        std::vector<Detector*> candidates, dispatching;
        for (auto& detector : g_detectors)
            if (detector->life == Life::kAlive && detector->owner != nullptr && detector->owner != &self) {
                candidates.push_back(detector.get());
                if (detector->owner->heldInside)
                    dispatching.push_back(detector.get());
            }
        if (!dispatching.empty() && !self.rng.OneIn(4))
            candidates.swap(dispatching);
        if (candidates.empty())
            return;
        d = candidates[self.rng.Below((uint32_t)candidates.size())];
        owner = d->owner;
    }
    bool entered = false;
    for (int attempt = 0; attempt < 20 && !(entered = TryEnterCriticalSection(&owner->inside)); ++attempt)
        SwitchToThread();
    if (!entered)
        return;
    if (ClaimRelease(d, self.threadId)) {
        ReleaseClaimed(d, (int32_t)self.rng.Below(2));
        ++g_counts.crossReleases;
    }
    LeaveCriticalSection(&owner->inside);
}

// Releases a detector whose thread has ended: preferably one left by an ended
// thread whose id this thread now has; any one when the backlog is long or
// `all` is set.
OrphanRelease ReleaseOrphan(HostThread* self, bool all)
{
    Detector* d = nullptr;
    bool inherited = false;
    const DWORD thread = GetCurrentThreadId();
    {
        StateLock lock;
        std::vector<Detector*> orphans;
        for (auto& detector : g_detectors) {
            if (detector->life != Life::kAlive || detector->owner != nullptr)
                continue;
            if (detector->ownerThreadId == thread && self != nullptr) {
                d = detector.get();
                inherited = true;
                break;
            }
            orphans.push_back(detector.get());
        }
        if (d == nullptr && !orphans.empty() && (all || orphans.size() > kOrphanBacklog))
            d = orphans[self != nullptr ? self->rng.Below((uint32_t)orphans.size()) : 0];
    }
    if (d == nullptr)
        return kNoOrphan;
    // Someone else may have claimed it meanwhile: then there is one orphan less.
    if (ClaimRelease(d, thread)) {
        ReleaseClaimed(d, self != nullptr ? (int32_t)self->rng.Below(2) : 0);
        ++g_counts.orphanReleases;
        g_counts.reusedIdReleases += inherited ? 1 : 0;
    }
    return inherited ? kReleasedInherited : kReleasedOrphan;
}

void OpReleaseOrphan(HostThread& self)
{
    if (g_config.exitOpen)
        ReleaseOrphan(&self, false);
}

// The host winds its other threads down and frees the module as soon as
// ZelvoDllCanUnloadNow says so, then loads it afresh.
void OpUnload(HostThread& self)
{
    if (!g_config.unload || !OwnDetectors(self).empty() || g_unloading.exchange(true))
        return;
    g_windDown = true;
    const DWORD start = GetTickCount(), patience = self.rng.Range(100, 1500);
    for (;;) {
        while (ReleaseOrphan(&self, true) != kNoOrphan) {
        }
        AcquireSRWLockExclusive(&g_moduleUse);
        const int32_t answer = g_module->ZelvoDllCanUnloadNow();
        if (answer == 1) {
            ++g_counts.unloadAnswers;
            int alive = 0;
            {
                StateLock lock;
                for (auto& d : g_detectors)
                    alive += d->life != Life::kReleased ? 1 : 0;
            }
            if (alive > 0) {
                Fail("ZelvoDllCanUnloadNow answered 1 while %d detectors were alive", alive);
            } else {
                UnloadModule();
                LoadModule();
                ++g_counts.unloads;
            }
        }
        ReleaseSRWLockExclusive(&g_moduleUse);
        if (answer == 1 || GetTickCount() - start > patience)
            break;
        if (self.rng.OneIn(2))
            SwitchToThread();
    }
    g_windDown = false;
    g_unloading = false;
}

void SinkActs(Detector* d, bool finished)
{
    if (!g_config.sinkActions)
        return;
    const char* was = t_self->doing.exchange("a sink's own call");
    Rng& rng = t_self->sinkRng;
    // A host winding down mostly lets its detectors go as they finish.
    const uint32_t action = finished && g_windDown && rng.OneIn(2) ? 3 : rng.Below(8);
    switch (action) {
    case 0:
        ReadResult(d);
        break;
    case 1:
        Finalize(d);
        break;
    case 2: {
        // Refused: the detection is open, or the detector finalised.
        int32_t result;
        ServerList list = {};
        list.ushCount = 1;
        snprintf(list.servers[0].szAddr, sizeof list.servers[0].szAddr, "127.0.0.1");
        list.servers[0].ushPort = g_responder->port;
        {
            ModuleCall call;
            result = d->component->Detect(&list, 10);
        }
        if (result != 0)
            Fail("Detect accepted from inside the sink of an open detection");
        break;
    }
    case 3:
    case 4:
        if (ClaimRelease(d, GetCurrentThreadId())) {
            ReleaseClaimed(d, (int32_t)rng.Below(2));
            ++g_counts.sinkReleases;
        }
        break;
    default:
        break;
    }
    // The module's code is still below the sink on this thread's stack.
    if (rng.OneIn(2))
        Sleep(rng.Below(15));
    t_self->doing = was;
}

struct Operation {
    const char* name;
    void (*run)(HostThread&);
    uint32_t weight;
};

const Operation kOperations[] = {
    {"create", OpCreate, 6},
    {"initialise", OpInitialize, 6},
    {"detect", OpDetect, 6},
    {"pump", OpPump, 5},
    {"pump until the end", OpPumpUntilEnd, 4},
    {"read the result", OpRead, 2},
    {"finalise", OpFinalize, 2},
    {"release", OpRelease, 3},
    {"set auto-release", OpSetAutoRelease, 2},
    {"free map", OpFreeMap, 2},
    {"release another thread's detector", OpReleaseOthers, 1},
    {"release an ended thread's detector", OpReleaseOrphan, 3},
    {"unload", OpUnload, 1},
};

// The step a plain host would take next with its detectors: make one,
// initialise it, detect, wait for the end, then read, finalise or release.
const char* NaturalStep(HostThread& self)
{
    bool any = false, fresh = false, ready = false, open = false, done = false;
    {
        StateLock lock;
        for (auto& d : g_detectors) {
            if (d->owner != &self || d->life != Life::kAlive)
                continue;
            any = true;
            fresh |= !d->initialised;
            ready |= d->initialised && !d->finalised && !d->detected;
            open |= d->detected && !d->finalised && d->limit != 0 && !d->ended;
            done |= d->detected;
        }
    }
    if (!any)
        return "create";
    if (fresh)
        return "initialise";
    if (ready)
        return "detect";
    if (open)
        return self.rng.OneIn(2) ? "pump until the end" : "pump";
    if (done)
        return self.rng.OneIn(2) ? "read the result" : self.rng.OneIn(2) ? "finalise" : "release";
    return "release";
}

const Operation& PickOperation(HostThread& self)
{
    Rng& rng = self.rng;
    if (rng.OneIn(2)) {
        const char* step = NaturalStep(self);
        for (const Operation& op : kOperations)
            if (strcmp(op.name, step) == 0)
                return op;
    }
    uint32_t total = 0;
    for (const Operation& op : kOperations)
        total += op.weight;
    uint32_t pick = rng.Below(total);
    for (const Operation& op : kOperations) {
        if (pick < op.weight)
            return op;
        pick -= op.weight;
    }
    return kOperations[0];
}

// The end of a host thread: each detector left is released (after its detection
// has ended, or finalised first), or left open as the thread ends.
void EndOfThread(HostThread& self)
{
    self.doing = "ending";
    // Some threads just end, their detections open.
    if (g_config.exitOpen && !g_windDown && self.rng.OneIn(3)) {
        StateLock lock;
        for (auto& d : g_detectors)
            if (d->owner == &self)
                d->owner = nullptr;
        self.ended = true;
        return;
    }
    if (g_windDown || self.rng.OneIn(2))
        OpPumpUntilEnd(self);
    for (Detector* d : OwnDetectors(self)) {
        if (self.rng.OneIn(3)) {
            InsideLock inside(self);
            bool alive;
            {
                StateLock lock;
                alive = d->life == Life::kAlive;
            }
            if (alive)
                Finalize(d);
        }
        if (ClaimRelease(d, self.threadId))
            ReleaseClaimed(d, (int32_t)self.rng.Below(2));
    }
    StateLock lock;
    for (auto& d : g_detectors)
        if (d->owner == &self)
            d->owner = nullptr;
    self.ended = true;
}

DWORD WINAPI HostMain(void* parameter)
{
    HostThread& self = *static_cast<HostThread*>(parameter);
    self.threadId = GetCurrentThreadId();
    t_self = &self;
    bool reused = false;
    {
        StateLock lock;
        for (auto& other : g_threads)
            if (other.get() != &self && other->ended && !other->noHost && other->threadId == self.threadId) {
                ++g_counts.idReuses;
                reused = true;
                break;
            }
        if (self.onlyIfReused && !reused) {
            self.noHost = self.ended = true;
            return 0;
        }
    }
    const uint32_t operations = self.rng.Range(1, 14);
    for (uint32_t i = 0; i < operations && !g_windDown; ++i) {
        const Operation& op = PickOperation(self);
        self.doing = op.name;
        op.run(self);
        ++g_counts.operations;
        if (self.rng.OneIn(4))
            CheckRegistry();
    }
    EndOfThread(self);
    self.doing = "ended";
    return 0;
}

// ---- What the process holds ------------------------------------------------

// What one load of the module may leave in the process for good, by kind: the
// lock of the C++ runtime's unwinder, a semaphore that the runtime has no call to
// free. The census after the hosts allows this much per load and nothing more.
struct LeftPerLoad {
    const char* kind;  // "heap bytes", "TLS indexes", or a handle type
    int64_t most;
};
const LeftPerLoad kRuntimeLeftPerLoad[] = {
    {"Semaphore", 1},
};

const int kMostTypes = 24;

// What the process holds, by kind. Plain arrays: taking a census allocates
// nothing that a later one would count.
struct Census {
    int64_t heapBytes = 0;
    int64_t tlsIndexes = 0;
    int64_t windowClasses = 0;  // the detector window's class, registered by any copy loaded so far
    int64_t unloadedProcedures = 0;  // CountWindowClasses
    int types = 0;
    char typeName[kMostTypes][40] = {};
    int64_t handles[kMostTypes] = {};

    int64_t Handles(const char* type) const
    {
        for (int i = 0; i < types; ++i)
            if (strcmp(typeName[i], type) == 0)
                return handles[i];
        return 0;
    }
};

int64_t RuntimeLeftPerLoad(const char* kind)
{
    for (const LeftPerLoad& left : kRuntimeLeftPerLoad)
        if (strcmp(left.kind, kind) == 0)
            return left.most;
    return 0;
}

// Handle values are handed out lowest first: counting can stop well past the
// highest one open at the start.
uintptr_t g_handleLimit;

typedef LONG(NTAPI* QueryObject)(HANDLE, int, void*, ULONG, ULONG*);
// What NtQueryObject's type information begins with.
struct TypeName {
    USHORT length;  // in bytes
    USHORT capacity;
    const wchar_t* text;
};

// The handle's object type ("Event", "Thread", ...), through NtQueryObject.
void HandleType(HANDLE handle, char* name, size_t size)
{
    static const QueryObject query =
        reinterpret_cast<QueryObject>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    snprintf(name, size, "unknown");
    alignas(8) uint8_t buffer[512];
    ULONG length = 0;
    const int kObjectTypeInformation = 2;
    if (query == nullptr || query(handle, kObjectTypeInformation, buffer, sizeof buffer, &length) < 0)
        return;
    const auto* type = reinterpret_cast<const TypeName*>(buffer);
    const int written = WideCharToMultiByte(CP_ACP, 0, type->text, type->length / 2, name, (int)size - 1, nullptr,
                                            nullptr);
    snprintf(name + (written > 0 ? written : 0), size - (written > 0 ? written : 0), "%s",
             written > 0 ? "" : "(no type name)");
}

// The detector window's classes left registered, by any copy of the module
// loaded so far (a class registered with its base outlives an unload unless the
// module unregistered it), and the window procedures of those classes and of
// the windows of the class that lie where an unloaded copy was: a message to
// such a window, or to one made of such a class, would run freed code.
void CountWindowClasses(int64_t& classes, int64_t& unloadedProcedures)
{
    char where[96];
    auto unloaded = [&](uintptr_t address) {
        return strncmp(CodeAt(address, where, sizeof where), "where an unloaded", 17) == 0;
    };
    uintptr_t bases[65];
    int count = 0;
    auto note = [&](uintptr_t base) {
        if (base == 0)
            return;
        for (int i = 0; i < count; ++i)
            if (bases[i] == base)
                return;
        bases[count++] = base;
    };
    note(g_moduleBegin.load());
    for (int i = 0; i < g_unloadedCount.load() && i < 64; ++i)
        note(g_unloaded[i].begin);
    classes = unloadedProcedures = 0;
    for (int i = 0; i < count; ++i) {
        WNDCLASSEXA info = {};
        info.cbSize = sizeof info;
        if (!GetClassInfoExA(reinterpret_cast<HINSTANCE>(bases[i]), kWindowClass, &info))
            continue;
        ++classes;
        unloadedProcedures += unloaded((uintptr_t)info.lpfnWndProc) ? 1 : 0;
    }
    for (HWND window = nullptr; (window = FindWindowExA(HWND_MESSAGE, window, kWindowClass, nullptr)) != nullptr;)
        unloadedProcedures += unloaded((uintptr_t)GetWindowLongA(window, GWL_WNDPROC)) ? 1 : 0;
}

Census TakeCensus()
{
    if (g_handleLimit == 0) {
        for (uintptr_t value = 4; value < 0x4000; value += 4) {
            DWORD flags = 0;
            if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
                g_handleLimit = value;
        }
        g_handleLimit += 0x1000;
    }
    Census census;
    for (uintptr_t value = 4; value < g_handleLimit; value += 4) {
        DWORD flags = 0;
        if (!GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            continue;
        char name[40];
        HandleType(reinterpret_cast<HANDLE>(value), name, sizeof name);
        int i = 0;
        while (i < census.types && strcmp(census.typeName[i], name) != 0)
            ++i;
        if (i == census.types && census.types < kMostTypes)
            snprintf(census.typeName[census.types++], sizeof census.typeName[0], "%s", name);
        if (i < census.types)
            ++census.handles[i];
    }
    // The free indexes, taken and given back: the rest are in use.
    static DWORD indexes[1100];
    int free = 0;
    while (free < 1100 && (indexes[free] = TlsAlloc()) != TLS_OUT_OF_INDEXES)
        ++free;
    for (int i = 0; i < free; ++i)
        TlsFree(indexes[i]);
    census.tlsIndexes = -free;
    CountWindowClasses(census.windowClasses, census.unloadedProcedures);
    // The heap last: what the counts above make the first time (taking TLS
    // indexes past the first 64 gives the thread a block for them) is then in
    // the first census too.
    int64_t blocks;
    HeapInUse(census.heapBytes, blocks);
    return census;
}

// after - before, less what `loads` loads of the module may leave, by kind; the
// kinds that hold more are written into `text`. False when any does.
bool HoldsNoMore(const Census& before, const Census& after, int64_t loads, char* text, size_t size)
{
    text[0] = '\0';
    size_t used = 0;
    auto compare = [&](const char* kind, int64_t was, int64_t is) {
        const int64_t more = is - was - loads * RuntimeLeftPerLoad(kind);
        if (more > 0 && used < size)
            used += (size_t)snprintf(text + used, size - used, "%s%s %+lld", used ? ", " : "", kind, (long long)more);
    };
    compare("heap bytes", before.heapBytes, after.heapBytes);
    compare("TLS indexes", before.tlsIndexes, after.tlsIndexes);
    compare("window classes", before.windowClasses, after.windowClasses);
    compare("window procedures in unloaded code", before.unloadedProcedures, after.unloadedProcedures);
    for (int i = 0; i < after.types; ++i)
        compare(after.typeName[i], before.Handles(after.typeName[i]), after.handles[i]);
    for (int i = 0; i < before.types; ++i)
        if (after.Handles(before.typeName[i]) == 0)
            compare(before.typeName[i], before.handles[i], 0);
    return used == 0;
}

bool HeapsValid()
{
    HANDLE heaps[256];
    const DWORD count = GetProcessHeaps(256, heaps);
    for (DWORD i = 0; i < count && i < 256; ++i)
        if (!HeapValidate(heaps[i], 0, nullptr))
            return false;
    return true;
}

BOOL CALLBACK CountDetectorWindow(HWND window, LPARAM count)
{
    char name[64] = {0};
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() && GetClassNameA(window, name, sizeof name) && strcmp(name, kWindowClass) == 0)
        ++*reinterpret_cast<int*>(count);
    return TRUE;
}

// Detector windows of this process, top-level and message-only.
int DetectorWindows()
{
    int count = 0;
    EnumWindows(CountDetectorWindow, reinterpret_cast<LPARAM>(&count));
    for (HWND window = nullptr; (window = FindWindowExA(HWND_MESSAGE, window, kWindowClass, nullptr)) != nullptr;)
        CountDetectorWindow(window, reinterpret_cast<LPARAM>(&count));
    return count;
}

// ---- One seed ------------------------------------------------------------------

HostThread* StartHost(int number, bool onlyIfReused)
{
    auto owned = std::make_unique<HostThread>();
    HostThread* thread = owned.get();
    thread->number = number;
    thread->onlyIfReused = onlyIfReused;
    thread->rng = Rng(g_seed * 1000003ull + (uint64_t)number);
    thread->sinkRng = Rng(thread->rng.Next());
    thread->delayRng = Rng(thread->rng.Next());
    InitializeCriticalSection(&thread->inside);
    {
        StateLock lock;
        g_threads.push_back(std::move(owned));
    }
    thread->handle = CreateThread(nullptr, 0, HostMain, thread, 0, nullptr);
    if (thread->handle == nullptr) {
        Fail("CreateThread failed (%lu)", GetLastError());
        StateLock lock;
        thread->ended = true;
        return nullptr;
    }
    return thread;
}

// A whole detector life on a thread of its own, to make what the module, Wine
// and the runtime make once before the baseline is taken.
DWORD WINAPI WarmUp(void*)
{
    ILinkrateDetector* detector = static_cast<ILinkrateDetector*>(g_module->CreateComponent(LRD_DETECTOR_ID, 0));
    if (detector == nullptr)
        return 1;
    ServerList list = {};
    list.ushCount = 1;
    snprintf(list.servers[0].szAddr, sizeof list.servers[0].szAddr, "127.0.0.1");
    list.servers[0].ushPort = g_responder->port;
    detector->Initialize(nullptr);
    detector->Detect(&list, 20);
    const DWORD start = GetTickCount();
    MSG msg;
    while (GetTickCount() - start < 100) {
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    detector->Finalize();
    detector->Release(0);
    return 0;
}

// Two tables of Wine's grow with use and never shrink; the census would count
// their growth as the module's, so both are filled before the baseline:
// - the last ten configuration files read, where a file that does not exist
//   takes a new place at every read until all ten hold it: the module reads its
//   configuration file, missing here, at every detector's start;
// - WinSock's list of the process's sockets, which doubles when full: made room
//   for kMostSockets, more than the hosts ever have open (kMostDetectors).
void FillWinesTables()
{
    char file[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, file, MAX_PATH - 16);
    char* name = strrchr(file, '\\');
    snprintf(name != nullptr ? name + 1 : file, 16, "Zelvo.ini");
    char value[8];
    for (int i = 0; i < 10; ++i)
        GetPrivateProfileStringA("Redirect", "Path", "", value, sizeof value, file);
    static SOCKET sockets[kMostSockets];
    for (SOCKET& s : sockets)
        s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    for (SOCKET s : sockets)
        closesocket(s);
}

void RunOnThread(LPTHREAD_START_ROUTINE routine)
{
    HANDLE thread = CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

void PrintConfig()
{
    const Config& c = g_config;
    Print("seed %llu: %d host threads%s, %d at a time;%s%s%s%s%s%s%s%s\n", (unsigned long long)g_seed, c.threads,
          c.untilIdsReused ? " and more until thread ids come back" : "", c.lanes, c.delays ? " delays" : "",
          c.freeMap ? " free-map" : "", c.unload ? " unload" : "", c.exitOpen ? " exit-open" : "",
          c.crossRelease ? " cross-release" : "", c.sinkActions ? " sink-actions" : "", c.textList ? " text-list" : "",
          c.misuse ? " misuse" : "");
}

int RunSeed(uint64_t seed, int threads)
{
    const DWORD setUp = GetTickCount();
    g_seed = seed;
    g_config = MakeConfig(seed, threads);
    PrintConfig();
    AddVectoredExceptionHandler(1, OnException);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    Responder responder;
    g_responder = &responder;
    ZelFactLibrary factory;
    factory.SetLogSettings(0, 0, nullptr, nullptr, 0);
    g_factoryHandle = factory.Handle();

    // What the module, Wine and the runtime make once in a process is made by
    // two warm-up loads before the baseline; the third shows what one load
    // leaves for good, which must be no more than kRuntimeLeftPerLoad says.
    FillWinesTables();
    LoadModule();
    RunOnThread(WarmUp);
    RunOnThread(WarmUp);
    UnloadModule();
    const Census first = TakeCensus();
    LoadModule();
    RunOnThread(WarmUp);
    UnloadModule();
    const Census before = TakeCensus();
    char differences[512];
    if (!HoldsNoMore(first, before, 1, differences, sizeof differences))
        Fail("one load of the module left what kRuntimeLeftPerLoad does not say: %s", differences);
    const int32_t buffersBefore = factory.Counters().allocations - factory.Counters().frees;
    LoadModule();
    ImportFaults::SetCallHook(OnPlatformCall);

    const DWORD started = GetTickCount();
    DWORD lastCheck = started;
    std::vector<HostThread*> running;
    int next = 0;
    auto wantMore = [&next] {
        return next < g_config.threads ||
               (g_config.untilIdsReused && g_counts.idReuses < kIdsReused && next < kMostThreads);
    };
    while (wantMore() || !running.empty()) {
        while ((int)running.size() < g_config.lanes && wantMore() && !g_windDown) {
            HostThread* thread = StartHost(next, next >= g_config.threads);
            ++next;
            if (thread != nullptr)
                running.push_back(thread);
        }
        std::vector<HANDLE> handles;
        for (HostThread* thread : running)
            handles.push_back(thread->handle);
        const DWORD done = handles.empty() ? WAIT_TIMEOUT
                                           : WaitForMultipleObjects((DWORD)handles.size(), handles.data(), FALSE, 50);
        if (done < WAIT_OBJECT_0 + handles.size()) {
            HostThread* thread = running[done - WAIT_OBJECT_0];
            CloseHandle(thread->handle);
            thread->handle = nullptr;
            running.erase(running.begin() + (done - WAIT_OBJECT_0));
        } else if (handles.empty()) {
            Sleep(5);
        }
        if (GetTickCount() - lastCheck >= 250) {
            lastCheck = GetTickCount();
            if (!HeapsValid())
                Fail("a heap of the process is damaged (HeapValidate)");
        }
        if (GetTickCount() - started > kSeedDeadlineMs) {
            for (HostThread* thread : running)
                Print("seed %llu: host thread %d (id %lu) still in \"%s\"\n", (unsigned long long)seed, thread->number,
                      (unsigned long)thread->threadId, thread->doing.load());
            Fail("hang: the hosts did not finish within %lu s", (unsigned long)(kSeedDeadlineMs / 1000));
            Print("seed %llu: failed\n", (unsigned long long)seed);
            ExitProcess(1);
        }
    }
    const DWORD hostsMs = GetTickCount() - started;

    // What the ended threads left behind goes now, from this thread, and with
    // it the harness's own records, which are no part of the baseline.
    while (ReleaseOrphan(nullptr, true) != kNoOrphan) {
    }
    for (auto& thread : g_threads)
        DeleteCriticalSection(&thread->inside);
    std::deque<std::unique_ptr<HostThread>>().swap(g_threads);
    std::deque<std::unique_ptr<Detector>>().swap(g_detectors);
    std::vector<HostThread*>().swap(running);
    ImportFaults::SetCallHook(nullptr);
    if (!HeapsValid())
        Fail("a heap of the process is damaged (HeapValidate)");
    // Every host thread has ended, and with them every timer the module could
    // still be waiting for: the module must let itself be unloaded now.
    if (g_module->ZelvoDllCanUnloadNow() != 1)
        Fail("ZelvoDllCanUnloadNow stays 0 after every detector was released and every host thread ended");
    const int32_t buffers = factory.Counters().allocations - factory.Counters().frees;
    if (buffers != buffersBefore)
        Fail("the memory service has %d buffers out after every detector was released", buffers - buffersBefore);
    if (factory.Counters().strayFrees != 0)
        Fail("%d buffers went back to a memory service that did not give them", factory.Counters().strayFrees);
    if (DetectorWindows() != 0)
        Fail("%d detector windows left after every host thread ended", DetectorWindows());
    if (g_accessViolations != 0)
        Fail("%d access violations in all", g_accessViolations.load());
    UnloadModule();
    const Census after = TakeCensus();
    const int64_t loads = 1 + g_counts.unloads;
    if (!HoldsNoMore(before, after, loads, differences, sizeof differences))
        Fail("after %lld loads of the module the process holds more than before the hosts ran: %s", (long long)loads,
             differences);
    Print("seed %llu: set-up %lu ms, hosts %lu ms, checks %lu ms\n", (unsigned long long)seed,
          (unsigned long)(started - setUp), (unsigned long)hostsMs,
          (unsigned long)(GetTickCount() - started - hostsMs));
    Print("seed %llu: %d operations in %lu ms; %d detections accepted, %d ended by their timer, %d replies; "
          "releases: %d from sinks, %d from other threads, %d of ended threads' detectors (%d by a thread with the "
          "ended one's id), %d by %d free maps; thread ids reused %d times; %d unloads (%d answers of 1)\n",
          (unsigned long long)seed, g_counts.operations.load(), (unsigned long)hostsMs, g_counts.detections.load(),
          g_counts.ends.load(), g_counts.reports.load(), g_counts.sinkReleases.load(), g_counts.crossReleases.load(),
          g_counts.orphanReleases.load(), g_counts.reusedIdReleases.load(), g_counts.freeMapReleases.load(),
          g_counts.freeMaps.load(), g_counts.idReuses.load(), g_counts.unloads.load(),
          g_counts.unloadAnswers.load());
    const bool passed = g_failures == 0;
    Print("seed %llu: %s\n", (unsigned long long)seed, passed ? "passed" : "failed");
    // The module and the factory stay as they are: the process ends here.
    return passed ? 0 : 1;
}

// ---- Many seeds, each in a process of its own ---------------------------------

int RunSeeds(uint64_t first, int count, int threads)
{
    char self[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, self, sizeof self - 1);
    int passed = 0, failed = 0;
    for (int i = 0; i < count; ++i) {
        const uint64_t seed = first + (uint64_t)i;
        char command[MAX_PATH + 64];
        snprintf(command, sizeof command, "\"%s\" --seed %llu --threads %d", self, (unsigned long long)seed, threads);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        const DWORD started = GetTickCount();
        if (!CreateProcessA(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
            Print("seed %llu: cannot start %s (%lu)\n", (unsigned long long)seed, self, GetLastError());
            ++failed;
            continue;
        }
        DWORD status = 0;
        if (WaitForSingleObject(process.hProcess, kSeedDeadlineMs + 60000) == WAIT_TIMEOUT) {
            TerminateProcess(process.hProcess, 3);
            WaitForSingleObject(process.hProcess, INFINITE);
            Print("seed %llu: FAILED: hang: the process did not end\n", (unsigned long long)seed);
            status = 3;
        } else {
            GetExitCodeProcess(process.hProcess, &status);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        if (status == 0) {
            ++passed;
            continue;
        }
        ++failed;
        if (status != 1 && status != 3)
            Print("seed %llu: FAILED: the process ended with status 0x%08lx after %lu ms\n", (unsigned long long)seed,
                  (unsigned long)status, (unsigned long)(GetTickCount() - started));
        Print("seed %llu: replay with: scripts/random-host --seed %llu%s\n", (unsigned long long)seed,
              (unsigned long long)seed, threads > 0 ? (" --threads " + std::to_string(threads)).c_str() : "");
    }
    Print("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    g_out = GetStdHandle(STD_OUTPUT_HANDLE);
    g_mainThread = GetCurrentThreadId();
    bool one = false;
    uint64_t seed = 1;
    int count = 8, threads = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool valued = i + 1 < argc;
        if (argument == "--seed" && valued) {
            one = true;
            seed = strtoull(argv[++i], nullptr, 10);
        } else if (argument == "--first" && valued) {
            seed = strtoull(argv[++i], nullptr, 10);
        } else if (argument == "--seeds" && valued) {
            count = atoi(argv[++i]);
        } else if (argument == "--threads" && valued) {
            threads = atoi(argv[++i]);
        } else {
            Print("usage: random_host [--seeds K] [--first N] [--threads N] | --seed N [--threads N]\n");
            return 2;
        }
    }
    return one ? RunSeed(seed, threads) : RunSeeds(seed, count, threads);
}
