// The detector's clock: a monotonic millisecond count truncated to 32 bits. Every
// comparison of two ticks goes through these helpers, so that a wrap of the
// counter between two readings is harmless.
#pragma once

#include <stdint.h>

// Milliseconds with 1 ms resolution (the system tick count moves in steps of
// 10 to 16 ms, which would read every nearby server as 0 or one step away).
uint32_t LrdTickCount();

// Microseconds on the same clock, for spacing work finer than a tick.
uint64_t LrdMicroseconds();

// The tick of a reading of LrdMicroseconds: what LrdTickCount read at that moment.
inline uint32_t TickAt(uint64_t microseconds) { return (uint32_t)(microseconds / 1000); }

// Milliseconds from earlier to later, correct across a wrap of the counter.
inline uint32_t TickElapsed(uint32_t earlier, uint32_t later) { return later - earlier; }

// Whether tick lies between start and end (both included), in wrap-safe order.
inline bool TickWithin(uint32_t start, uint32_t tick, uint32_t end)
{
    return TickElapsed(start, tick) <= TickElapsed(start, end);
}
