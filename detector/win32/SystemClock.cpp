#include "SystemClock.h"

#include <windows.h>

namespace {

LONGLONG CounterFrequency()
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
}

// Read once at load rather than by the first caller: a function-local static
// raced for by two threads made the runtime create a semaphore pair and an event
// that it never gave back.
const LONGLONG frequency = CounterFrequency();

// The counter in units of 1/perSecond seconds.
uint64_t CounterIn(LONGLONG perSecond)
{
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
