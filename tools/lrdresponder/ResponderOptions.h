// The command line of lrdresponder and the address text it prints, without any
// platform header.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "AddressText.h"

namespace lrdresponder {

constexpr unsigned kMaxDelayMs = 60000;
constexpr uint32_t kMaxRate = 1000000;
constexpr unsigned kMaxStatsIntervalS = 86400;

extern const char kUsage[];

struct Options {
    uint32_t bindAddress = 0;          // host byte order; 0 is every local address
    std::optional<uint32_t> load;      // sent after the echo when given
    std::string loadFile;              // where the load is read from, when not empty
    unsigned delayMs = 0;              // how long each answer is held
    uint32_t rateLimit = 100;          // answers a second to one source; 0: no limit
    uint32_t rateBurst = 200;          // answers one source may get at once
    unsigned statsIntervalS = 0;       // seconds between lines of counts; 0: none
    std::vector<uint16_t> ports;       // one socket each, in the order given
    bool help = false;
};

// Reads the arguments after the program name into `options`. Returns an empty
// text when they are sound, else one line that names the faulty argument.
std::string ParseOptions(const std::vector<std::string>& args, Options& options);

using lrdtools::FormatAddress;
using lrdtools::ParseAddress;

}  // namespace lrdresponder
