#include "ResponderOptions.h"

#include <algorithm>

namespace lrdresponder {

const char kUsage[] =
    "usage: lrdresponder [--bind ADDRESS] [--load N | --load-file PATH] [--delay MS]\n"
    "                    [--rate-limit N[/BURST]] [--stats-interval S] [--metrics-file PATH]\n"
    "                    [--load-log-step N] [--quiet-load] [--rcvbuf BYTES] [--user NAME] PORT...\n"
    "       lrdresponder --check [--warning MS] [--critical MS] ADDRESS[:PORT]...\n"
    "       lrdresponder --version\n"
    "  Answers link-rate probes on each UDP PORT.\n"
    "  --bind ADDRESS         dotted IPv4 address to listen on (default 0.0.0.0)\n"
    "  --load N               load sent with every answer, 0 to 4294967295 (default: none)\n"
    "  --load-file PATH       read the load from PATH, again whenever it changes\n"
    "  --delay MS             hold every answer MS milliseconds, 0 to 60000 (default 0)\n"
    "  --rate-limit N[/BURST] answers a second to one source address, 1 to 1000000,\n"
    "                         up to BURST at once, 1 to 1000000 (default 100/200,\n"
    "                         BURST 2N up to 1000000); 0: no limit\n"
    "  --stats-interval S     print a line of counts every S seconds, 1 to 86400\n"
    "  --metrics-file PATH    write the counts to PATH in the Prometheus text format\n"
    "                         every S seconds (default 10)\n"
    "  --load-log-step N      log a new load only when it moved N or more from the\n"
    "                         last one logged (default 1)\n"
    "  --quiet-load           log no new load at all\n"
    "  --rcvbuf BYTES         receive queue of each socket, 4096 to 1073741824\n"
    "  --user NAME            become the user NAME (from /etc/passwd) after binding\n"
    "  --check                probe each ADDRESS[:PORT] (port 8000 by default) and exit\n"
    "                         0 ok, 1 warning, 2 critical, 3 unknown\n"
    "  --warning MS           round-trip time of a warning, 1 to 60000 (default 200)\n"
    "  --critical MS          round-trip time (or silence) of a critical, 1 to 60000\n"
    "                         (default 1000)\n";

using lrdtools::ParseDecimal;

namespace {

std::string NotANumber(const std::string& what, const std::string& text, uint64_t low, uint64_t high)
{
    return what + ": '" + text + "' is not a number from " + std::to_string(low) + " to " + std::to_string(high);
}

// N or N/BURST; a lone N allows bursts of 2N (within the range of BURST), and 0
// alone turns the limit off.
bool ParseRateLimit(const std::string& text, uint32_t& rate, uint32_t& burst)
{
    size_t slash = text.find('/');
    uint64_t n = 0, b = 0;
    if (!ParseDecimal(text.substr(0, slash), 0, kMaxRate, n))
        return false;
    if (slash == std::string::npos) {
        b = std::min<uint64_t>(2 * n, kMaxRate);
    } else if (n == 0 || !ParseDecimal(text.substr(slash + 1), 1, kMaxRate, b)) {
        return false;
    }
    rate = uint32_t(n);
    burst = uint32_t(b);
    return true;
}

// A port is written without leading zeros: "08000" reads as octal to some tools
// and as 8000 to others, so it is refused rather than guessed.
// Returns the refusal, empty when the port is sound.
std::string ParsePort(const std::string& what, const std::string& text, uint16_t& port)
{
    uint64_t value = 0;
    if (!ParseDecimal(text, 1, 65535, value))
        return NotANumber(what, text, 1, 65535);
    if (text[0] == '0')
        return what + ": '" + text + "' has a leading zero";
    port = uint16_t(value);
    return {};
}

std::string ParseCheck(const std::vector<std::string>& args, Options& parsed)
{
    parsed.check = true;
    bool warningGiven = false, criticalGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--check")
            continue;
        if (arg == "--warning" || arg == "--critical") {
            if (i + 1 == args.size())
                return arg + " needs a value";
            bool& given = arg == "--warning" ? warningGiven : criticalGiven;
            if (given)
                return arg + " given twice";
            uint64_t number = 0;
            if (!ParseDecimal(args[++i], 1, kMaxCheckMs, number))
                return NotANumber(arg, args[i], 1, kMaxCheckMs);
            (arg == "--warning" ? parsed.warningMs : parsed.criticalMs) = unsigned(number);
            given = true;
            continue;
        }
        if (!arg.empty() && arg[0] == '-')
            return "unknown option '" + arg + "' with --check";
        size_t colon = arg.find(':');
        uint32_t address = 0;
        uint16_t port = kCheckDefaultPort;
        if (!ParseAddress(arg.substr(0, colon), address))
            return "--check: '" + arg + "' is not ADDRESS[:PORT] with a dotted IPv4 address";
        if (colon != std::string::npos) {
            std::string problem = ParsePort("--check: the port of '" + arg + "'", arg.substr(colon + 1), port);
            if (!problem.empty())
                return problem;
        }
        parsed.checkServers.emplace_back(address, port);
    }
    if (parsed.checkServers.empty())
        return "--check: no ADDRESS given";
    if (parsed.warningMs > parsed.criticalMs)
        return "--warning " + std::to_string(parsed.warningMs) + " is above --critical " +
               std::to_string(parsed.criticalMs);
    return {};
}

}  // namespace

bool IsCheck(const std::vector<std::string>& args)
{
    return std::find(args.begin(), args.end(), "--check") != args.end();
}

std::string ParseOptions(const std::vector<std::string>& args, Options& options)
{
    Options parsed;
    if (IsCheck(args)) {
        std::string problem = ParseCheck(args, parsed);
        if (problem.empty())
            options = parsed;
        return problem;
    }
    bool bindGiven = false, delayGiven = false, rateGiven = false, statsGiven = false, stepGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
            continue;
        }
        if (arg == "--version") {
            parsed.version = true;
            continue;
        }
        if (arg == "--quiet-load") {
            parsed.quietLoad = true;
            continue;
        }
        if (arg == "--bind" || arg == "--load" || arg == "--load-file" || arg == "--delay" || arg == "--rate-limit" ||
            arg == "--stats-interval" || arg == "--metrics-file" || arg == "--load-log-step" || arg == "--rcvbuf" ||
            arg == "--user") {
            if (i + 1 == args.size())
                return arg + " needs a value";
            const std::string& value = args[++i];
            uint64_t number = 0;
            if (arg == "--bind") {
                if (bindGiven)
                    return "--bind given twice";
                if (!ParseAddress(value, parsed.bindAddress))
                    return "--bind: '" + value + "' is not a dotted IPv4 address";
                bindGiven = true;
            } else if (arg == "--load") {
                if (parsed.load)
                    return "--load given twice";
                if (!ParseDecimal(value, 0, UINT32_MAX, number))
                    return NotANumber(arg, value, 0, UINT32_MAX);
                parsed.load = uint32_t(number);
            } else if (arg == "--load-file" || arg == "--metrics-file" || arg == "--user") {
                std::string& text = arg == "--load-file" ? parsed.loadFile
                                    : arg == "--metrics-file" ? parsed.metricsFile
                                                              : parsed.user;
                if (!text.empty())
                    return arg + " given twice";
                if (value.empty())
                    return arg + (arg == "--user" ? ": the name is empty" : ": the path is empty");
                text = value;
            } else if (arg == "--rate-limit") {
                if (rateGiven)
                    return "--rate-limit given twice";
                if (!ParseRateLimit(value, parsed.rateLimit, parsed.rateBurst))
                    return "--rate-limit: '" + value + "' is not N or N/BURST with N from 0 to " +
                           std::to_string(kMaxRate) + " and BURST from 1 to " + std::to_string(kMaxRate);
                rateGiven = true;
            } else if (arg == "--stats-interval") {
                if (statsGiven)
                    return "--stats-interval given twice";
                if (!ParseDecimal(value, 1, kMaxStatsIntervalS, number))
                    return NotANumber(arg, value, 1, kMaxStatsIntervalS);
                parsed.statsIntervalS = unsigned(number);
                statsGiven = true;
            } else if (arg == "--load-log-step") {
                if (stepGiven)
                    return "--load-log-step given twice";
                if (!ParseDecimal(value, 1, UINT32_MAX, number))
                    return NotANumber(arg, value, 1, UINT32_MAX);
                parsed.loadLogStep = uint32_t(number);
                stepGiven = true;
            } else if (arg == "--rcvbuf") {
                if (parsed.receiveBuffer)
                    return "--rcvbuf given twice";
                if (!ParseDecimal(value, kMinReceiveBuffer, kMaxReceiveBuffer, number))
                    return NotANumber(arg, value, kMinReceiveBuffer, kMaxReceiveBuffer);
                parsed.receiveBuffer = uint32_t(number);
            } else {
                if (delayGiven)
                    return "--delay given twice";
                if (!ParseDecimal(value, 0, kMaxDelayMs, number))
                    return NotANumber(arg, value, 0, kMaxDelayMs);
                parsed.delayMs = unsigned(number);
                delayGiven = true;
            }
            continue;
        }
        if (!arg.empty() && arg[0] == '-')
            return "unknown option '" + arg + "'";
        uint16_t port = 0;
        std::string problem = ParsePort("PORT", arg, port);
        if (!problem.empty())
            return problem;
        if (std::find(parsed.ports.begin(), parsed.ports.end(), port) != parsed.ports.end())
            return "PORT " + arg + " given twice";
        parsed.ports.push_back(port);
    }
    if (parsed.ports.empty() && !parsed.help && !parsed.version)
        return "no PORT given";
    if (parsed.load && !parsed.loadFile.empty())
        return "--load and --load-file given together";
    options = parsed;
    return {};
}

}  // namespace lrdresponder
