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
// stays far below any responder's rate limit (lrdresponder's default is 100
// answers a second to one source).
constexpr uint32_t kDefaultPeriodMs = 1000;
constexpr uint32_t kMaxPeriodMs = 3600000;
constexpr uint32_t kMaxRounds = 1000;

extern const char kUsage[];

enum class Format { kTable, kCsv, kJson };

struct Server {
    std::string address;  // canonical dotted IPv4, at most 15 characters
    uint16_t port;
    std::string name = {};  // the host name the address came from; empty for an address given as such
};

struct Options {
    std::vector<Server> servers;  // in the order given
    uint32_t timeLimitMs = kDefaultTimeLimitMs;
    uint32_t rounds = 1;
    uint32_t periodMs = kDefaultPeriodMs;
    Format format = Format::kTable;
    bool quiet = false;
    bool verbose = false;
    bool help = false;
    std::string logPath;     // empty: no log file
    std::string modulePath;  // empty: LinkrateDetector.dll beside lrdprobe
};

// Gives the whole text of a server list file ("-" is standard input); false when
// it cannot be read.
using FileReader = std::function<bool(const std::string& name, std::string& text)>;

// Gives the IPv4 addresses (host byte order) of a host name; returns an empty
// text, or the resolver's reason when the name does not resolve.
using NameResolver = std::function<std::string(const std::string& name, std::vector<uint32_t>& addresses)>;

// Reads the arguments after the program name into `options`, the files named by
// -f through `read` and the host names through `resolve` (without one, every
// host name is refused). Returns an empty text when everything is sound, else one
// line that names the faulty argument or file line; nothing is probed then.
std::string ParseOptions(const std::vector<std::string>& args, Options& options, const FileReader& read,
                         const NameResolver& resolve = {});

// One SERVER, ADDRESS[:PORT] or HOSTNAME[:PORT]: appends one server, or one per
// address of the host name. Returns an empty text or what is wrong.
std::string ParseServer(const std::string& text, std::vector<Server>& servers, const NameResolver& resolve = {});

// The servers of a list file: one a line, "#" starts a comment, blank lines and
// surrounding blanks are ignored. Problems name the file and the line.
std::string ParseServerLines(const std::string& name, const std::string& text, std::vector<Server>& servers,
                             const NameResolver& resolve = {});

// Reads a file with the standard library; "-" is standard input.
bool ReadWholeFile(const std::string& name, std::string& text);

}  // namespace lrdprobe
