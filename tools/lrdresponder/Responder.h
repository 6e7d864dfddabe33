// The serving loop of lrdresponder: receive, judge, hold, answer.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "ResponderOptions.h"

namespace lrdresponder {

struct Counts {
    uint64_t answered = 0;
    uint64_t tooShort = 0;
    uint64_t wrongCommand = 0;
    uint64_t zeroTick = 0;
    uint64_t sendFailed = 0;
    uint64_t tooManyHeld = 0;   // answers refused because the hold queue was full
    uint64_t heldAtStop = 0;    // answers still held when the program stopped
};

std::string FormatCounts(const Counts& counts);

// Opens one socket per port, says what it listens on, and answers requests until
// a stop is requested; then prints the counts. Returns the exit status: 0 after a
// stop, 1 when a socket could not be set up or waiting failed.
int Serve(const Options& options, std::ostream& out, std::ostream& err);

}  // namespace lrdresponder
