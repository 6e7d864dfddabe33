// The serving loop of lrdresponder: receive, judge, hold, answer; and between
// datagrams, the load file, the counts asked for by signal, and the counts line.
#pragma once

#include <ostream>

#include "Counts.h"
#include "ResponderOptions.h"

namespace lrdresponder {

// Opens one socket per port, says what it listens on, and answers requests until
// a stop is requested; then prints the counts. Returns the exit status: 0 after a
// stop, 1 when the load file or a socket could not be set up or waiting failed.
int Serve(const Options& options, std::ostream& out, std::ostream& err);

}  // namespace lrdresponder
