#include "ResponderOptions.h"

#include <algorithm>

namespace lrdresponder {

const char kUsage[] =
    "usage: lrdresponder [--bind ADDRESS] [--load N | --load-file PATH] [--delay MS]\n"
    "                    [--rate-limit N[/BURST]] [--stats-interval S] [--metrics-file PATH]\n"
    "                    [--metrics-interval S] [--load-log-step N] [--quiet-load]\n"
    "                    [--rcvbuf BYTES] [--user NAME] PORT...\n"
    "       lrdresponder --check [-H ADDRESS[:PORT]]... [-p PORT] [-w RTT[,LOSS%]]\n"
    "                    [-c RTT[,LOSS%]] [-n N] [-t S] [ADDRESS[:PORT]...]\n"
    "       lrdresponder -V | --version\n"
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
    "  --metrics-interval S   write the metrics file every S seconds, 1 to 86400\n"
    "                         (default 10)\n"
    "  --load-log-step N      log a new load only when it moved N or more from the\n"
    "                         last one logged (default 1)\n"
    "  --quiet-load           log no new load at all\n"
    "  --rcvbuf BYTES         receive queue of each socket, 4096 to 1073741824\n"
    "  --user NAME            become the user NAME (from /etc/passwd) after binding;\n"
    "                         NAME must be able to read the load file\n"
    "  --check                probe each server as a monitoring plugin does and exit\n"
    "                         0 ok, 1 warning, 2 critical, 3 unknown\n"
    "  -H, --hostname ADDRESS[:PORT]  a server to probe (the -H may be left out)\n"
    "  -p, --port PORT        the port of servers given without one (default 8000)\n"
    "  -w, --warning RTT[,LOSS%]  a warning outside these ranges of the average\n"
    "                         round-trip time in ms and of the loss in percent\n"
    "                         (default 200,20%; a part left out keeps its default)\n"
    "  -c, --critical RTT[,LOSS%] the same for a critical (default 1000,60%); a\n"
    "                         server that never answered is critical\n"
    "                         A range is [@]START:END: START ~ for none (0 when left\n"
    "                         out with its colon), END empty for none; a value\n"
    "                         outside it alerts, or inside it after @; its ends are\n"
    "                         inside: -w 200 warns above 200 ms, -w 10:200 also\n"
    "                         below 10, -w @10:20 from 10 to 20, -w ~: never\n"
    "  -n, --probes N         requests to each server, 1 to 100 (default 5)\n"
    "  -t, --timeout S        end the check after S seconds, 1 to 60 (default 10);\n"
    "                         requests not answered by then are lost\n"
    "  -V, --version          print the version and exit\n"
    "  -h, --help             print this help and exit\n";

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

// RTT[,LOSS%]: either part may be left out (",20%", "100"), and keeps the
// range it had.
std::string ParseThresholds(const std::string& what, const std::string& text, ThresholdRange& rtt,
                            ThresholdRange& loss)
{
    std::string refusal = what + ": '" + text + "' is not RTT[,LOSS%] of ranges [@]START:END";
    size_t comma = text.find(',');
    std::string rttText = text.substr(0, comma);
    std::string lossText = comma == std::string::npos ? "" : text.substr(comma + 1);
    if (text.empty() || (comma != std::string::npos && (lossText.empty() || lossText.back() != '%')))
        return refusal;
    if (!lossText.empty())
        lossText.pop_back();
    ThresholdRange parsedRtt = rtt, parsedLoss = loss;
    if ((!rttText.empty() && !ParseThresholdRange(rttText, parsedRtt)) ||
        (comma != std::string::npos && !ParseThresholdRange(lossText, parsedLoss)))
        return refusal;
    rtt = parsedRtt;
    loss = parsedLoss;
    return {};
}

std::string ParseCheck(const std::vector<std::string>& args, Options& parsed)
{
    parsed.check = true;
    ParseThresholdRange("200", parsed.warningRtt);
    ParseThresholdRange("1000", parsed.criticalRtt);
    ParseThresholdRange("20", parsed.warningLoss);
    ParseThresholdRange("60", parsed.criticalLoss);
    std::vector<std::pair<uint32_t, std::optional<uint16_t>>> servers;
    std::optional<uint16_t> port;
    bool warningGiven = false, criticalGiven = false, probesGiven = false, timeoutGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg == "--check")
            continue;
        if (arg == "-h" || arg == "--help") {
            parsed.help = true;
            continue;
        }
        if (arg == "-V" || arg == "--version") {
            parsed.version = true;
            continue;
        }
        bool valued = arg == "-H" || arg == "--hostname" || arg == "-p" || arg == "--port" || arg == "-w" ||
                      arg == "--warning" || arg == "-c" || arg == "--critical" || arg == "-n" ||
                      arg == "--probes" || arg == "-t" || arg == "--timeout";
        if (!valued && !arg.empty() && arg[0] == '-')
            return "unknown option '" + arg + "' with --check";
        if (valued && i + 1 == args.size())
            return arg + " needs a value";
        std::string value = valued ? args[++i] : arg;
        uint64_t number = 0;
        if (arg == "-w" || arg == "--warning" || arg == "-c" || arg == "--critical") {
            bool warning = arg == "-w" || arg == "--warning";
            bool& given = warning ? warningGiven : criticalGiven;
            if (given)
                return arg + " given twice";
            given = true;
            std::string problem = warning ? ParseThresholds(arg, value, parsed.warningRtt, parsed.warningLoss)
                                          : ParseThresholds(arg, value, parsed.criticalRtt, parsed.criticalLoss);
            if (!problem.empty())
                return problem;
        } else if (arg == "-n" || arg == "--probes") {
            if (probesGiven)
                return arg + " given twice";
            probesGiven = true;
            if (!ParseDecimal(value, 1, kMaxCheckProbes, number))
                return NotANumber(arg, value, 1, kMaxCheckProbes);
            parsed.probes = unsigned(number);
        } else if (arg == "-t" || arg == "--timeout") {
            if (timeoutGiven)
                return arg + " given twice";
            timeoutGiven = true;
            if (!ParseDecimal(value, 1, kMaxCheckTimeoutS, number))
                return NotANumber(arg, value, 1, kMaxCheckTimeoutS);
            parsed.timeoutS = unsigned(number);
        } else if (arg == "-p" || arg == "--port") {
            if (port)
                return arg + " given twice";
            uint16_t given = 0;
            std::string problem = ParsePort(arg, value, given);
            if (!problem.empty())
                return problem;
            port = given;
        } else {
            size_t colon = value.find(':');
            uint32_t address = 0;
            std::optional<uint16_t> own;
            if (!ParseAddress(value.substr(0, colon), address))
                return "--check: '" + value + "' is not ADDRESS[:PORT] with a dotted IPv4 address";
            if (colon != std::string::npos) {
                uint16_t given = 0;
                std::string problem = ParsePort("--check: the port of '" + value + "'", value.substr(colon + 1), given);
                if (!problem.empty())
                    return problem;
                own = given;
            }
            servers.emplace_back(address, own);
        }
    }
    for (const auto& [address, own] : servers)
        parsed.checkServers.emplace_back(address, own ? *own : port ? *port : kCheckDefaultPort);
    if (parsed.checkServers.empty() && !parsed.help && !parsed.version)
        return "--check: no ADDRESS given";
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
    bool bindGiven = false, delayGiven = false, rateGiven = false, statsGiven = false, metricsGiven = false,
         stepGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
            continue;
        }
        if (arg == "--version" || arg == "-V") {
            parsed.version = true;
            continue;
        }
        if (arg == "--quiet-load") {
            parsed.quietLoad = true;
            continue;
        }
        if (arg == "--bind" || arg == "--load" || arg == "--load-file" || arg == "--delay" || arg == "--rate-limit" ||
            arg == "--stats-interval" || arg == "--metrics-interval" || arg == "--metrics-file" ||
            arg == "--load-log-step" || arg == "--rcvbuf" || arg == "--user") {
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
            } else if (arg == "--stats-interval" || arg == "--metrics-interval") {
                bool& given = arg == "--stats-interval" ? statsGiven : metricsGiven;
                if (given)
                    return arg + " given twice";
                if (!ParseDecimal(value, 1, kMaxStatsIntervalS, number))
                    return NotANumber(arg, value, 1, kMaxStatsIntervalS);
                (arg == "--stats-interval" ? parsed.statsIntervalS : parsed.metricsIntervalS) = unsigned(number);
                given = true;
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
