#include "SystemClock.h"

#include <windows.h>

namespace {

// The counter in units of 1/perSecond seconds.
uint64_t CounterIn(LONGLONG perSecond)
{
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    // Split the division so that the product cannot overflow 64 bits.
    LONGLONG seconds = now.QuadPart / frequency;
    LONGLONG rest = now.QuadPart % frequency;
    return (uint64_t)(seconds * perSecond + rest * perSecond / frequency);
}

}  // namespace

uint32_t LrdTickCount() { return (uint32_t)CounterIn(1000); }

uint64_t LrdMicroseconds() { return CounterIn(1000000); }
