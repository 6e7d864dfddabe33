// lrdresponder --check: the client a Linux monitoring host runs against a fleet
// of responders. It probes each server a few times as the detector does and
// reports in the monitoring-plugin way: one status line that names the servers
// that failed, with performance data (average round-trip time, loss, load), one
// line per server, and the exit status 0 ok, 1 warning, 2 critical, 3 unknown.
#pragma once

#include <ostream>

#include "ResponderOptions.h"

namespace lrdresponder {

enum CheckStatus { kCheckOk = 0, kCheckWarning = 1, kCheckCritical = 2, kCheckUnknown = 3 };

int RunCheck(const Options& options, std::ostream& out);

}  // namespace lrdresponder
