// The detector over loopback against the literal reader, in the same run: the
// fidelity of round-trip times, how many replies of a burst reach the sink, and
// how long Detect blocks its caller, on a quiet machine and on a busy one.
#pragma once

#include <stdint.h>

// exchange: round trips and capture; blocking: the time inside Detect for lists
// up to largest servers; phases: where that time goes, per candidate.
void RunNetworkBench(bool quick, bool exchange, bool blocking, bool phases, uint32_t largest);

// The body of a busy process that the blocking part starts: spins until it is
// ended, or for half an hour at most.
void Burn();
