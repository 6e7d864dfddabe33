// Ticks: a monotonic millisecond count truncated to 32 bits. Every comparison of
// two ticks goes through these helpers, so that a wrap of the counter between
// two readings is harmless.
#pragma once

#include <stdint.h>

// The tick of a microsecond reading of the same clock.
inline uint32_t TickAt(uint64_t microseconds) { return (uint32_t)(microseconds / 1000); }

// The tick the detector stamps on requests and arrivals: never 0, which a
// request may not carry (responders refuse it). In the one millisecond of every
// wrap where the clock reads 0, the next value is taken; a round trip across it
// reads at most 1 ms short.
inline uint32_t ProbeTickAt(uint64_t microseconds)
{
    uint32_t tick = TickAt(microseconds);
    return tick != 0 ? tick : 1;
}

// Milliseconds from earlier to later, correct across a wrap of the counter.
inline uint32_t TickElapsed(uint32_t earlier, uint32_t later) { return later - earlier; }

// Whether tick lies between start and end (both included), in wrap-safe order.
inline bool TickWithin(uint32_t start, uint32_t tick, uint32_t end)
{
    return TickElapsed(start, tick) <= TickElapsed(start, end);
}
