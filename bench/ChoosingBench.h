// The benchmark of choosing: over many seeded trials behind lrd_impaired_net,
// how often the truly best server (the smallest configured delay times load) is
// chosen, and the regret (the chosen server's true score over the best's), by a
// single detection of the module, a single detection with re-probing, and
// lrdprobe -c 5 with the ranking it had and with the new one; and whether
// servers that share an address are chosen as they are on addresses of their own.
#pragma once

#include <cstdint>

// Prints its own table and the targets below it. A quick run tries a quarter of
// the trials. The seed draws the worlds; 0 gives those of the runs before it
// could be chosen.
void RunChoosingBench(bool quick, uint64_t seed);
