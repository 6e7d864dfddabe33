#include "ResponderOptions.h"

#include <algorithm>

namespace lrdresponder {

const char kUsage[] =
    "usage: lrdresponder [--bind ADDRESS] [--load N | --load-file PATH] [--delay MS]\n"
    "                    [--rate-limit N[/BURST]] [--stats-interval S] PORT...\n"
    "  Answers link-rate probes on each UDP PORT.\n"
    "  --bind ADDRESS         dotted IPv4 address to listen on (default 0.0.0.0)\n"
    "  --load N               load sent with every answer, 0 to 4294967295 (default: none)\n"
    "  --load-file PATH       read the load from PATH, again whenever it changes\n"
    "  --delay MS             hold every answer MS milliseconds, 0 to 60000 (default 0)\n"
    "  --rate-limit N[/BURST] answers a second to one source address, 1 to 1000000,\n"
    "                         up to BURST at once (default 100/200, BURST 2N); 0: no limit\n"
    "  --stats-interval S     print a line of counts every S seconds, 1 to 86400\n";

using lrdtools::ParseDecimal;

namespace {

std::string NotANumber(const std::string& what, const std::string& text, uint64_t low, uint64_t high)
{
    return what + ": '" + text + "' is not a number from " + std::to_string(low) + " to " + std::to_string(high);
}

// N or N/BURST; a lone N allows bursts of 2N, and 0 alone turns the limit off.
bool ParseRateLimit(const std::string& text, uint32_t& rate, uint32_t& burst)
{
    size_t slash = text.find('/');
    uint64_t n = 0, b = 0;
    if (!ParseDecimal(text.substr(0, slash), 0, kMaxRate, n))
        return false;
    if (slash == std::string::npos) {
        b = 2 * n;
    } else if (n == 0 || !ParseDecimal(text.substr(slash + 1), 1, kMaxRate, b)) {
        return false;
    }
    rate = uint32_t(n);
    burst = uint32_t(b);
    return true;
}

}  // namespace

std::string ParseOptions(const std::vector<std::string>& args, Options& options)
{
    Options parsed;
    bool bindGiven = false, delayGiven = false, rateGiven = false, statsGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
            continue;
        }
        if (arg == "--bind" || arg == "--load" || arg == "--load-file" || arg == "--delay" || arg == "--rate-limit" ||
            arg == "--stats-interval") {
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
            } else if (arg == "--load-file") {
                if (!parsed.loadFile.empty())
                    return "--load-file given twice";
                if (value.empty())
                    return "--load-file: the path is empty";
                parsed.loadFile = value;
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
        uint64_t port = 0;
        if (!ParseDecimal(arg, 1, 65535, port))
            return NotANumber("PORT", arg, 1, 65535);
        if (std::find(parsed.ports.begin(), parsed.ports.end(), port) != parsed.ports.end())
            return "PORT " + arg + " given twice";
        parsed.ports.push_back(uint16_t(port));
    }
    if (parsed.ports.empty() && !parsed.help)
        return "no PORT given";
    if (parsed.load && !parsed.loadFile.empty())
        return "--load and --load-file given together";
    options = parsed;
    return {};
}

}  // namespace lrdresponder
