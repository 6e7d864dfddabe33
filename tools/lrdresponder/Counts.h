// What lrdresponder did with the datagrams it received, and the three ways it
// tells that: the block of lines of a stop, the one line of SIGUSR1 and
// --stats-interval, and the metrics file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lrdresponder {

// What one port did, for the metrics file, which carries a series per port.
struct PortCounts {
    uint16_t port = 0;
    uint64_t answered = 0;
    std::optional<uint64_t> systemDrops;  // where the system tells
};

struct Counts {
    uint64_t answered = 0;
    // Not requests.
    uint64_t tooShort = 0;
    uint64_t wrongCommand = 0;
    uint64_t zeroTick = 0;
    uint64_t wrongFillData = 0;  // answers of a responder among them
    // Requests refused.
    uint64_t ownAddress = 0;
    uint64_t unusableSource = 0;
    uint64_t rateLimited = 0;
    // Answers that did not leave.
    uint64_t sendFailed = 0;
    uint64_t tooManyHeld = 0;  // the hold queue was full
    uint64_t heldAtStop = 0;   // still held when the program stopped
    // Datagrams the system dropped before the program read them, where the
    // system tells.
    std::optional<uint64_t> systemDrops;
    // Reads of the load file that found no number, when there is a load file.
    std::optional<uint64_t> loadFileFaults;
    // The same answers and drops port by port, in the order of the ports given.
    std::vector<PortCounts> ports;
};

std::string FormatCounts(const Counts& counts);

// "time=2026-01-31T23:59:59Z answered=5 too_short=1 ... load=7": every count as
// key=value, on one line without its end. The counts that only a stop knows
// (held at stop) are left out; dropped, load_file_faults and load only where
// they exist.
std::string FormatCountsLine(const std::string& timeStamp, const Counts& counts, const std::optional<uint32_t>& load);

// The counts, the load, the start time (seconds since 1970) and the version in
// the Prometheus text format. The answers and the drops come per port, labelled
// with the port and the address the ports are bound to (`bindAddress`, dotted).
std::string FormatMetrics(const Counts& counts, const std::optional<uint32_t>& load, int64_t startTime,
                          const std::string& version, const std::string& bindAddress);

// The current time in UTC, as in 2026-01-31T23:59:59Z.
std::string UtcTimeStamp();

}  // namespace lrdresponder
