// What lrdresponder did with the datagrams it received, and the two ways it
// prints that: the block of lines of a stop or a SIGUSR1, and the one line of
// --stats-interval.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lrdresponder {

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
};

std::string FormatCounts(const Counts& counts);

// "answered 5, ignored 1, refused 2 (rate limited 2), not sent 0, dropped 0" after
// the time stamp, on one line without its end.
std::string FormatCountsLine(const std::string& timeStamp, const Counts& counts);

// The current time in UTC, as in 2026-01-31T23:59:59Z.
std::string UtcTimeStamp();

}  // namespace lrdresponder
