#include "ComponentBase.h"

CCallGuard::CCallGuard(int32_t* alive, int32_t* busyCount, IComponent* component)
    : m_pAlive(alive), m_pBusyCount(busyCount), m_pComponent(component)
{
    // A call after the release began is the caller's mistake. Stop an attached
    // debugger there; without one, a breakpoint nobody handles would end the
    // host's process, so the call just goes on.
    if (*m_pAlive != 1 && IsDebuggerPresent())
        DebugBreak();
    ++*m_pBusyCount;
}

CCallGuard::~CCallGuard()
{
    if (--*m_pBusyCount == 0 && *m_pAlive == 0)
        m_pComponent->Release(0);
}
