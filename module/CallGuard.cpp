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
