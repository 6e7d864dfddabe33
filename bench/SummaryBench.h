// lrdprobe's summary: matching every round's replies and result array to the
// servers given, and ranking them, for lists up to 65535 servers.
#pragma once

#include <stdint.h>

// Prints its rows; where names the platform the run happens on. A quick run
// repeats fewer times; sizes above largest are left out.
void RunSummaryBench(const char* where, bool quick, uint32_t largest);
