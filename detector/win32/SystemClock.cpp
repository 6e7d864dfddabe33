#include "SystemClock.h"

#include <windows.h>

namespace {

LONGLONG CounterFrequency()
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
}

// Fixed at boot; read when the module is loaded. A function's own static would
// need the C++ runtime's guard, whose lock (a semaphore) is never freed and
// would stay behind at every unload.
const LONGLONG g_frequency = CounterFrequency();

// The counter in units of 1/perSecond seconds.
uint64_t CounterIn(LONGLONG perSecond)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    // Split the division so that the product cannot overflow 64 bits.
    LONGLONG seconds = now.QuadPart / g_frequency;
    LONGLONG rest = now.QuadPart % g_frequency;
    return (uint64_t)(seconds * perSecond + rest * perSecond / g_frequency);
}

}  // namespace

uint32_t LrdTickCount() { return (uint32_t)CounterIn(1000); }

uint64_t LrdMicroseconds() { return CounterIn(1000000); }
