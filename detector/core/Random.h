// The module's own pseudo-random generator: one process-wide state with the range
// and recurrence of the C runtime's rand (0 to 32767). The runtime's rand keeps its
// state per thread; this one is shared, and a fixed seed makes candidate orders
// reproducible.
#pragma once

#include <stdint.h>

void SeedRandom(uint32_t seed);

// The next number from 0 to 32767. Safe to call from several threads: every call
// consumes exactly one step of the shared sequence.
int32_t DrawRandom();
