#include "TimerRouting.h"

#include <map>
#include <new>
#include <set>
#include <utility>

#include "ModuleState.h"

namespace {

struct Route {
    TimerTickHandler pfnHandler;
    void* pReceiver;
    DispatchHolder* pHolder;
};

typedef std::pair<DWORD, UINT_PTR> RouteKey;  // thread, timer id

// A thread with timers of this module, routed or orphaned: its handle, kept
// while any of them may still tick, tells whether it has ended and keeps its
// id from going to a new thread meanwhile.
struct TimerThread {
    HANDLE hThread;
    int32_t nTimers;
};

// Process-wide: a route may be removed by another thread than the one whose
// timer it serves. Held only for the maps' own steps, never while a handler
// runs, since a handler may call out to the host.
SRWLOCK g_routesLock = SRWLOCK_INIT;
std::map<RouteKey, Route> g_routes;
// Timers whose route another thread removed: each still ticks once on its own
// thread, in this module's code, and holds the module until then.
std::set<RouteKey> g_orphans;
std::map<DWORD, TimerThread> g_timerThreads;

class RoutesLock {
public:
    RoutesLock() { AcquireSRWLockExclusive(&g_routesLock); }
    ~RoutesLock() { ReleaseSRWLockExclusive(&g_routesLock); }
    RoutesLock(const RoutesLock&) = delete;
    RoutesLock& operator=(const RoutesLock&) = delete;
};

// Under the lock: one timer of the thread more, its handle opened with the
// first. False when the handle cannot be had.
bool CountTimer(DWORD threadId)
{
    auto it = g_timerThreads.find(threadId);
    if (it != g_timerThreads.end()) {
        ++it->second.nTimers;
        return true;
    }
    HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, threadId);
    if (thread == nullptr)
        return false;
    try {
        g_timerThreads[threadId] = TimerThread{thread, 1};
    } catch (const std::bad_alloc&) {
        CloseHandle(thread);
        return false;
    }
    return true;
}

// Under the lock: one timer of the thread less, its handle closed with the last.
void UncountTimer(DWORD threadId)
{
    auto it = g_timerThreads.find(threadId);
    if (it == g_timerThreads.end() || --it->second.nTimers != 0)
        return;
    CloseHandle(it->second.hThread);
    g_timerThreads.erase(it);
}

// Under the lock. A thread that ended took its timers with it.
bool ThreadRuns(DWORD threadId)
{
    auto it = g_timerThreads.find(threadId);
    return it != g_timerThreads.end() && WaitForSingleObject(it->second.hThread, 0) == WAIT_TIMEOUT;
}

void DropOrphan(std::set<RouteKey>::iterator orphan)
{
    const DWORD thread = orphan->first;
    g_orphans.erase(orphan);
    UncountTimer(thread);
    EndModuleUnloadHold();
}

// Orphans of threads that ended will never tick: they hold nothing any more.
void SweepEndedOrphans()
{
    RoutesLock lock;
    for (auto it = g_orphans.begin(); it != g_orphans.end();) {
        auto next = std::next(it);
        if (!ThreadRuns(it->first))
            DropOrphan(it);
        it = next;
    }
}

struct SweepRegistration {
    SweepRegistration() { SetUnloadHoldSweep(SweepEndedOrphans); }
} g_sweepRegistration;

// Whether there was a route to `receiver` to remove.
bool RemoveRoute(DWORD threadId, UINT_PTR timerId, const void* receiver)
{
    auto it = g_routes.find(RouteKey(threadId, timerId));
    if (it == g_routes.end() || it->second.pReceiver != receiver)
        return false;
    g_routes.erase(it);
    return true;
}

}  // namespace

// Everything of a tick but the module hold, which the timer procedure below
// takes before and lets go after.
extern "C" void __stdcall LrdDispatchTimerTick(HWND, UINT, UINT_PTR timerId, DWORD)
{
    const RouteKey key(GetCurrentThreadId(), timerId);
    Route route = {};
    bool found = false, held = false;
    {
        RoutesLock lock;
        auto it = g_routes.find(key);
        if (it != g_routes.end()) {
            route = it->second;
            found = true;
            // A receiver whose release has begun elsewhere is about to lose this
            // route; its next tick finds the orphan.
            held = route.pHolder == nullptr || route.pHolder->TakeDispatchHold();
        } else {
            auto orphan = g_orphans.find(key);
            if (orphan != g_orphans.end())
                DropOrphan(orphan);
        }
    }
    // A timer whose receiver is gone (released on another thread, or a tick that
    // was already queued when the timer stopped) ends here, on its own thread.
    if (!found) {
        KillTimer(nullptr, timerId);
        return;
    }
    if (!held)
        return;
    route.pfnHandler(route.pReceiver, timerId);
    if (route.pHolder != nullptr)
        route.pHolder->EndDispatchHold();
}

// The timer procedure: holds the module, dispatches, and lets the hold go by
// jumping to the system's InterlockedDecrement with the caller's return address
// in place, whose own return (popping the last argument) leaves the module's code
// behind before the count can reach zero. Naked, as the window procedure is, so
// that the debug information names it.
extern "C" __attribute__((naked)) void CALLBACK LrdRouteTimerTick(HWND, UINT, UINT_PTR, DWORD)
{
    asm(R"(
    lock incl _g_lrdUnloadBlockers
    pushl 16(%esp)
    pushl 16(%esp)
    pushl 16(%esp)
    pushl 16(%esp)
    call _LrdDispatchTimerTick@16
    movl (%esp), %eax
    movl %eax, 12(%esp)
    movl $_g_lrdUnloadBlockers, 16(%esp)
    addl $12, %esp
    jmp *__imp__InterlockedDecrement@4
)");
}

UINT_PTR StartRoutedTimer(uint32_t intervalMs, TimerTickHandler handler, void* receiver, DispatchHolder* holder,
                          UINT_PTR replacing)
{
    const DWORD thread = GetCurrentThreadId();
    UINT_PTR timerId = SetTimer(nullptr, replacing, intervalMs, LrdRouteTimerTick);
    if (timerId == 0)
        return 0;
    // No tick can come in between: ticks arrive only while this thread
    // dispatches messages.
    bool added = false;
    {
        RoutesLock lock;
        const RouteKey key(thread, timerId);
        auto it = g_routes.find(key);
        if (it != g_routes.end()) {
            it->second = Route{handler, receiver, holder};
            added = true;
        } else if (CountTimer(thread)) {
            try {
                g_routes[key] = Route{handler, receiver, holder};
                added = true;
            } catch (const std::bad_alloc&) {
                UncountTimer(thread);
            }
        }
    }
    if (!added) {
        if (timerId != replacing)
            KillTimer(nullptr, timerId);
        return 0;
    }
    if (replacing != 0 && timerId != replacing)
        StopRoutedTimer(thread, replacing, receiver);
    return timerId;
}

void StopRoutedTimer(DWORD threadId, UINT_PTR timerId, const void* receiver)
{
    // A route that leads elsewhere, or none, means the timer is not this
    // receiver's any more: the id may now be another timer's, which must live.
    const bool own = threadId == GetCurrentThreadId();
    {
        RoutesLock lock;
        if (!RemoveRoute(threadId, timerId, receiver))
            return;
        // A timer of another thread that still runs will tick there once more,
        // and holds the module until then; without memory for the record it is
        // still cut off, but holds nothing.
        if (!own && ThreadRuns(threadId)) {
            try {
                if (g_orphans.insert(RouteKey(threadId, timerId)).second) {
                    HoldModuleUnload();
                    return;
                }
            } catch (const std::bad_alloc&) {
            }
        }
        UncountTimer(threadId);
    }
    if (own)
        KillTimer(nullptr, timerId);
}
