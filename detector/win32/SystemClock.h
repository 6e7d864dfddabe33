// The detector's clock on this system (see Tick.h for the arithmetic on ticks).
#pragma once

#include <stdint.h>

#include "ProbeExchange.h"

// Milliseconds with 1 ms resolution (the system tick count moves in steps of
// 10 to 16 ms, which would read every nearby server as 0 or one step away).
uint32_t LrdTickCount();

// Microseconds on the same clock, for spacing work finer than a tick;
// TickAt(LrdMicroseconds()) is what LrdTickCount reads at that moment.
uint64_t LrdMicroseconds();

// The exchange's clock on this system.
class SystemClock final : public ExchangeClock {
public:
    uint64_t Microseconds() override { return LrdMicroseconds(); }
};
