#include "ComponentBase.h"

CCallGuard::CCallGuard(int32_t* alive, int32_t* busyCount, IComponent* component)
    : pAlive(alive), pBusyCount(busyCount), pComponent(component)
{
    // A call after the release began is the caller's mistake. Stop an attached
    // debugger there; without one, a breakpoint nobody handles would end the
    // host's process, so the call just goes on.
    if (*pAlive != 1 && IsDebuggerPresent())
        DebugBreak();
    ++*pBusyCount;
}

CCallGuard::~CCallGuard()
{
    if (--*pBusyCount == 0 && *pAlive == 0)
        pComponent->Release(0);
}

namespace {

SRWLOCK g_dispatchHoldsLock = SRWLOCK_INIT;

class DispatchHoldsLock {
public:
    DispatchHoldsLock() { AcquireSRWLockExclusive(&g_dispatchHoldsLock); }
    ~DispatchHoldsLock() { ReleaseSRWLockExclusive(&g_dispatchHoldsLock); }
    DispatchHoldsLock(const DispatchHoldsLock&) = delete;
    DispatchHoldsLock& operator=(const DispatchHoldsLock&) = delete;
};

}  // namespace

bool DispatchHolds::Take()
{
    DispatchHoldsLock lock;
    if (bRefused || bReleaseDue)
        return false;
    if (nHolds++ == 0)
        dwHolderThread = GetCurrentThreadId();
    return true;
}

bool DispatchHolds::End()
{
    DispatchHoldsLock lock;
    if (--nHolds != 0 || !bReleaseDue)
        return false;
    bReleaseDue = false;
    return true;
}

bool DispatchHolds::BeginTeardown()
{
    DispatchHoldsLock lock;
    if (nHolds != 0 && dwHolderThread != GetCurrentThreadId()) {
        bReleaseDue = true;
        bCutOff = true;
        return false;
    }
    bRefused = true;
    return true;
}

bool DispatchHolds::BeginDestruction()
{
    DispatchHoldsLock lock;
    if (nHolds == 0)
        return true;
    bReleaseDue = true;
    return false;
}
