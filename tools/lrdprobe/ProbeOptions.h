// The command line of lrdprobe and the server lists it reads, without any
// platform header.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace lrdprobe {

constexpr uint16_t kDefaultPort = 8000;            // as the text-list form of Detect
constexpr size_t kMaxServers = 65535;              // the count field of the record list
constexpr uint32_t kDefaultTimeLimitMs = 2000;
// Replies count only within the 5000 ms in which the detector reports them: a
// longer round would wait for nothing.
constexpr uint32_t kMaxTimeLimitMs = 5000;
// Between the starts of rounds, as fping's -p: one probe a second per server
// stays far below any responder's rate limit.
constexpr uint32_t kDefaultPeriodMs = 1000;
constexpr uint32_t kMaxPeriodMs = 3600000;
// lrdresponder answers one source address 100 times a second by default, up to
// 200 at once: the requests to one address are kept at least this far apart on
// average, and a round that sends more at once is named.
constexpr uint32_t kResponderIntervalMs = 10;
constexpr uint32_t kResponderBurst = 200;
constexpr uint32_t kMaxRounds = 1000;
// --confidence: the goal a run may set, and its cap of rounds without -c.
constexpr double kMinConfidence = 0.5;
constexpr double kMaxConfidence = 0.9999;
constexpr uint32_t kConfidenceRounds = 100;
// The module's ReprobeCount setting takes 0 to 10.
constexpr uint32_t kMaxReprobes = 10;
constexpr int32_t kReprobesUnset = -1;

extern const char kUsage[];

enum class Format { kTable, kCsv, kJson };

struct Server {
    std::string address;  // canonical dotted IPv4, at most 15 characters
    uint16_t port;
    std::string name = {};  // the host name the address came from; empty for an address given as such
};

// Problems of a list file reported before the run is refused, and entries given
// more than once that are named; more are counted.
constexpr size_t kMaxReportedProblems = 20;

struct Options {
    std::vector<Server> servers;  // in the order given, each endpoint once
    uint32_t timeLimitMs = kDefaultTimeLimitMs;
    uint32_t rounds = 1;
    uint32_t periodMs = kDefaultPeriodMs;
    // --confidence: rounds stop once rank 1 is within the tolerance of the best
    // with this probability (rounds is then the cap); 0 without it.
    double confidenceGoal = 0;
    // --tolerance: how much worse than the best rank 1 may be and still be a
    // right choice, as a share of the score (ProbeRanking.h).
    double tolerance = -1;  // unset: kDefaultTolerance
    // --all-rounds: with --confidence, every server is asked in every round
    // rather than only those that can still be within the tolerance of the best.
    bool allRounds = false;
    // -r: the module's re-probes; unset leaves its configuration as it is.
    int32_t reprobes = kReprobesUnset;
    Format format = Format::kTable;
    bool quiet = false;
    bool verbose = false;
    bool help = false;
    bool version = false;
    bool onlyAnswering = false;  // -a: the summary lists the servers that answered
    bool onlySilent = false;     // -u: the summary lists the servers that never did
    bool stats = false;          // -s: counts and times on standard error at the end
    bool samples = false;        // -C: each server's per-round times under the table
    std::string logPath;         // empty: no log file
    std::string modulePath;      // empty: LinkrateDetector.dll beside lrdprobe
    std::string reportPath;      // empty: no HTML report
    // Lines to print before probing: names that did not resolve and entries
    // given twice. The rest is probed.
    std::vector<std::string> warnings;
    uint32_t unresolved = 0;  // names that did not resolve
    std::vector<std::string> unresolvedLines;  // each with the resolver's reason, as among the warnings
};

// Gives the whole text of a server list file ("-" is standard input); returns an
// empty text, or why the file cannot be read.
using FileReader = std::function<std::string(const std::string& name, std::string& text)>;

// Gives the IPv4 addresses (host byte order) of a host name; returns an empty
// text, or the resolver's reason when the name does not resolve.
using NameResolver = std::function<std::string(const std::string& name, std::vector<uint32_t>& addresses)>;

// Reads the arguments after the program name into `options`, the files named by
// -f through `read` and the host names through `resolve` (without one, every
// host name is refused). Short options combine (-qc3), "--" ends the options.
// Returns an empty text when everything is sound, else lines that each name a
// faulty argument or file line; nothing is probed then. A host name that does
// not resolve is not a fault: it becomes a warning (and when no server is left,
// the servers are empty), and so does an entry whose address and port were
// given before (it is probed once).
std::string ParseOptions(const std::vector<std::string>& args, Options& options, const FileReader& read,
                         const NameResolver& resolve = {});

// One SERVER, ADDRESS[:PORT] or HOSTNAME[:PORT]: appends one server, or one per
// address of the host name. Returns an empty text or what is wrong. When
// `unresolved` is given, a host name that does not resolve (or has no IPv4
// address) is no fault: the reason goes there and nothing is appended.
std::string ParseServer(const std::string& text, std::vector<Server>& servers, const NameResolver& resolve = {},
                        std::string* unresolved = nullptr);

// The servers of a list file: one a line, "#" starts a comment, blank lines,
// surrounding blanks and a UTF-8 byte order mark are ignored. Every faulty line
// is reported, up to kMaxReportedProblems, one a line, each naming the file and
// the line; names that do not resolve go to `unresolved`, likewise.
std::string ParseServerLines(const std::string& name, const std::string& text, std::vector<Server>& servers,
                             const NameResolver& resolve = {}, std::vector<std::string>* unresolved = nullptr);

// Reads a file with the standard library; "-" is standard input. A missing file
// and a folder are named as such.
std::string ReadWholeFile(const std::string& name, std::string& text);

// Whether a file can be written at `path` as far as its folder goes: empty, or
// why not ("no such folder", "is a folder"), so that an output named on the
// command line fails before any probe rather than after the last.
std::string CheckOutputPath(const std::string& path);

// The most requests a round may send to one address: its servers, each asked
// once and re-probed up to options.reprobes times.
uint32_t RequestsToOneAddress(const Options& options);
// The shortest time between the starts of rounds that keeps every address
// within a responder's default rate limit: kResponderIntervalMs for each
// request a round may send it.
uint32_t PacedPeriodMs(const Options& options);

}  // namespace lrdprobe
