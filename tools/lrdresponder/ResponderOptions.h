// The command line of lrdresponder and the address text it prints, without any
// platform header.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "AddressText.h"
#include "ThresholdRange.h"

namespace lrdresponder {

constexpr unsigned kMaxDelayMs = 60000;
constexpr uint32_t kMaxRate = 1000000;
constexpr unsigned kMaxStatsIntervalS = 86400;
// How often the metrics file is written when --metrics-interval does not say.
constexpr unsigned kDefaultMetricsIntervalS = 10;
constexpr uint32_t kMinReceiveBuffer = 4096;
constexpr uint32_t kMaxReceiveBuffer = 1u << 30;
// The port --check probes when an address comes without one: lrdprobe's.
constexpr uint16_t kCheckDefaultPort = 8000;
constexpr unsigned kMaxCheckProbes = 100;
constexpr unsigned kMaxCheckTimeoutS = 60;

extern const char kUsage[];
// The usage of --check alone, which --check -h prints.
extern const char kCheckUsage[];

// Gives the first IPv4 address (host byte order) of a host name; returns an
// empty text, or the resolver's reason when the name does not resolve.
using NameResolver = std::function<std::string(const std::string& name, uint32_t& address)>;

struct Options {
    uint32_t bindAddress = 0;          // host byte order; 0 is every local address
    std::optional<uint32_t> load;      // sent after the echo when given
    std::string loadFile;              // where the load is read from, when not empty
    unsigned delayMs = 0;              // how long each answer is held
    uint32_t rateLimit = 100;          // answers a second to one source; 0: no limit
    uint32_t rateBurst = 200;          // answers one source may get at once
    unsigned statsIntervalS = 0;       // seconds between lines of counts; 0: none
    unsigned metricsIntervalS = kDefaultMetricsIntervalS;  // seconds between writes of the metrics file
    std::vector<uint16_t> ports;       // one socket each, in the order given
    std::string metricsFile;           // Prometheus text file, when not empty
    uint32_t loadLogStep = 1;          // smallest change of the load that is logged
    bool quietLoad = false;            // no line for a new load at all
    uint32_t receiveBuffer = 0;        // bytes asked for each socket's queue; 0: the system's
    std::string user;                  // user to become after binding, when not empty
    bool help = false;
    bool version = false;

    // --check: probe these servers instead of answering.
    bool check = false;
    std::vector<std::pair<uint32_t, uint16_t>> checkServers;
    // Outside these ranges (inside after "@"), a server's average round-trip
    // time in milliseconds or its loss in percent is a warning or a critical.
    ThresholdRange warningRtt, criticalRtt, warningLoss, criticalLoss;
    unsigned probes = 5;               // requests sent to each server
    unsigned timeoutS = 10;            // the check ends by then; what has not come is lost
};

// Reads the arguments after the program name into `options`. Returns an empty
// text when they are sound, else one line that names the faulty argument. With
// --check anywhere among them, they are read as a check's, in getopt's forms
// too (--timeout=5, -w100); its servers may be host names, resolved through
// `resolve` (without one, only addresses are taken), and a server given twice
// is probed once.
bool IsCheck(const std::vector<std::string>& args);
std::string ParseOptions(const std::vector<std::string>& args, Options& options, const NameResolver& resolve = {});

using lrdtools::FormatAddress;
using lrdtools::ParseAddress;

}  // namespace lrdresponder
