#include "Tick.h"

#include <windows.h>

uint32_t LrdTickCount()
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
    return (uint32_t)(seconds * 1000 + rest * 1000 / frequency);
}
