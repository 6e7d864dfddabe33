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
};

typedef std::pair<DWORD, UINT_PTR> RouteKey;  // thread, timer id

// Process-wide: a route may be removed by another thread than the one whose
// timer it serves. Held only for the map's own steps, never while a handler
// runs, since a handler may call out to the host.
SRWLOCK g_routesLock = SRWLOCK_INIT;
std::map<RouteKey, Route> g_routes;
// Timers whose route another thread removed: each still ticks once on its own
// thread, in this module's code, and holds the module until then.
std::set<RouteKey> g_orphans;

class RoutesLock {
public:
    RoutesLock() { AcquireSRWLockExclusive(&g_routesLock); }
    ~RoutesLock() { ReleaseSRWLockExclusive(&g_routesLock); }
    RoutesLock(const RoutesLock&) = delete;
    RoutesLock& operator=(const RoutesLock&) = delete;
};

void CALLBACK RouteTimerTick(HWND, UINT, UINT_PTR timerId, DWORD)
{
    // The handler may release the last detector, and the host may then free the
    // module on another thread at once: until this returns, the module is held.
    ModuleHold hold;
    const RouteKey key(GetCurrentThreadId(), timerId);
    Route route = {};
    bool found = false, orphan = false;
    {
        RoutesLock lock;
        auto it = g_routes.find(key);
        if (it != g_routes.end()) {
            route = it->second;
            found = true;
        } else {
            orphan = g_orphans.erase(key) != 0;
        }
    }
    // A timer whose receiver is gone (released on another thread, or a tick that
    // was already queued when the timer stopped) ends here, on its own thread.
    if (!found) {
        KillTimer(nullptr, timerId);
        if (orphan)
            EndModuleUnloadHold();
        return;
    }
    route.pfnHandler(route.pReceiver, timerId);
}

// The system has just given this thread the timer id, so whatever the key
// still names belongs to a timer that is gone (its thread ended, and the thread
// id came back): a stale route is replaced, and an orphan that will never tick
// again stops holding the module.
bool AddRoute(DWORD threadId, UINT_PTR timerId, const Route& route)
{
    const RouteKey key(threadId, timerId);
    RoutesLock lock;
    try {
        g_routes[key] = route;
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (g_orphans.erase(key) != 0)
        EndModuleUnloadHold();
    return true;
}

// Whether there was a route to `receiver` to remove.
bool RemoveRoute(DWORD threadId, UINT_PTR timerId, const void* receiver)
{
    RoutesLock lock;
    auto it = g_routes.find(RouteKey(threadId, timerId));
    if (it == g_routes.end() || it->second.pReceiver != receiver)
        return false;
    g_routes.erase(it);
    return true;
}

// Whether the thread still runs. A thread that ended took its timers with it.
bool ThreadRuns(DWORD threadId)
{
    HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, threadId);
    if (thread == nullptr)
        return false;
    bool runs = WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
    CloseHandle(thread);
    return runs;
}

// A timer of another thread, cut off from its receiver, that will tick there once
// more. Without memory for the record it is still cut off, but holds nothing.
void AddOrphan(DWORD threadId, UINT_PTR timerId)
{
    RoutesLock lock;
    try {
        if (g_orphans.insert(RouteKey(threadId, timerId)).second)
            HoldModuleUnload();
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace

UINT_PTR StartRoutedTimer(uint32_t intervalMs, TimerTickHandler handler, void* receiver, UINT_PTR replacing)
{
    const DWORD thread = GetCurrentThreadId();
    UINT_PTR timerId = SetTimer(nullptr, replacing, intervalMs, RouteTimerTick);
    if (timerId == 0)
        return 0;
    // No tick can come in between: ticks arrive only while this thread
    // dispatches messages.
    if (!AddRoute(thread, timerId, Route{handler, receiver})) {
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
    if (!RemoveRoute(threadId, timerId, receiver))
        return;
    if (threadId == GetCurrentThreadId())
        KillTimer(nullptr, timerId);
    else if (ThreadRuns(threadId))
        AddOrphan(threadId, timerId);
}
