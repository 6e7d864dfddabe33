// Filling, sorting and matching: the module's candidate list and reply handling
// against the literal reference, for 64 to 65535 candidates.
#pragma once

#include <stdint.h>

// Prints its rows; where names the platform the run happens on. A quick run
// tries fewer seeds; sizes above largest are left out.
void RunListBench(const char* where, bool quick, uint32_t largest);
