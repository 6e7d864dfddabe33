// Ticks: a monotonic millisecond count truncated to 32 bits. Every comparison of
// two ticks goes through these helpers, so that a wrap of the counter between
// two readings is harmless.
#pragma once

#include <stdint.h>

// The tick of a microsecond reading of the same clock.
inline uint32_t TickAt(uint64_t microseconds) { return (uint32_t)(microseconds / 1000); }

// The tick a request to one server carries: that server's own count, the
// detector's tick moved by the server's random origin, so that no request tells
// anything of another server's ticks or of the host's uptime. Never 0, which
// responders refuse: in the one millisecond of a wrap where it would be 0 it is
// 1, and a reply is matched through this same function.
inline uint32_t ServerTick(uint32_t origin, uint32_t tick)
{
    uint32_t own = origin + tick;
    return own != 0 ? own : 1;
}

// Milliseconds from earlier to later, correct across a wrap of the counter.
inline uint32_t TickElapsed(uint32_t earlier, uint32_t later) { return later - earlier; }

