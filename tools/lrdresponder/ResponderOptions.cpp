#include "ResponderOptions.h"

#include <algorithm>
#include <limits>

namespace lrdresponder {

const char kUsage[] =
    "usage: lrdresponder [--bind ADDRESS] [--load N | --load-file PATH] [--delay MS]\n"
    "                    [--rate-limit N[/BURST]] [--stats-interval S] [--metrics-file PATH]\n"
    "                    [--metrics-interval S] [--load-log-step N] [--quiet-load]\n"
    "                    [--rcvbuf BYTES] [--user NAME] PORT...\n"
    "       lrdresponder --check [-H HOST[:PORT]]... [-p PORT] [-w RTT[,LOSS%]]\n"
    "                    [-c RTT[,LOSS%]] [-n N] [-t S] [HOST[:PORT]...]\n"
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
    "                         0 ok, 1 warning, 2 critical, 3 unknown (--check -h\n"
    "                         tells its options)\n"
    "  -V, --version          print the version and exit\n"
    "  -h, --help             print this help and exit\n";

const char kCheckUsage[] =
    "usage: lrdresponder --check [-H HOST[:PORT]]... [-p PORT] [-w RTT[,LOSS%]]\n"
    "                    [-c RTT[,LOSS%]] [-n N] [-t S] [HOST[:PORT]...]\n"
    "  Probes each server as a monitoring plugin does and exits 0 ok, 1 warning,\n"
    "  2 critical, 3 unknown. A HOST is a dotted IPv4 address or a host name (its\n"
    "  first IPv4 address); a server given twice is probed once. Options take\n"
    "  their values as getopt's do: -w 100, -w100, --warning 100, --warning=100.\n"
    "  -H, --hostname HOST[:PORT]  a server to probe (the -H may be left out)\n"
    "  -p, --port PORT        the port of servers given without one (default 8000)\n"
    "  -w, --warning RTT[,LOSS%]  a warning outside these ranges of the average\n"
    "                         round-trip time in ms and of the loss in percent\n"
    "                         (default 200,20%; a part left out keeps its default)\n"
    "  -c, --critical RTT[,LOSS%] the same for a critical (default 1000,60%); a\n"
    "                         server that never answered is critical; a warning\n"
    "                         whose upper end lies above the critical's is refused\n"
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

// A warning whose upper end lies above the critical's is refused, as check_ping
// refuses it: between the two a value would be critical without ever warning.
// Ranges that alert inside ("@"), and a warning without an upper end (it never
// warns above), are not compared.
std::string WarningAboveCritical(const char* what, const ThresholdRange& warning, const ThresholdRange& critical)
{
    if (warning.alertInside || critical.alertInside || !warning.high)
        return {};
    double criticalHigh = critical.high ? *critical.high : std::numeric_limits<double>::infinity();
    if (*warning.high <= criticalHigh)
        return {};
    return std::string("--check: the warning ") + what + " '" + warning.text + "' reaches above the critical '" +
           critical.text + "'";
}

bool IsCheckValued(const std::string& option)
{
    return option == "-H" || option == "--hostname" || option == "-p" || option == "--port" || option == "-w" ||
           option == "--warning" || option == "-c" || option == "--critical" || option == "-n" ||
           option == "--probes" || option == "-t" || option == "--timeout";
}

std::string ParseCheck(const std::vector<std::string>& args, Options& parsed, const NameResolver& resolve)
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
        // getopt's forms: --name=VALUE, and -XVALUE for a short option.
        std::optional<std::string> attached;
        size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos && IsCheckValued(arg.substr(0, equals))) {
            attached = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
        } else if (arg.size() > 2 && arg[0] == '-' && arg[1] != '-' && IsCheckValued(arg.substr(0, 2))) {
            attached = arg.substr(2);
            arg = arg.substr(0, 2);
        }
        bool valued = IsCheckValued(arg);
        if (!valued && !arg.empty() && arg[0] == '-')
            return "unknown option '" + arg + "' with --check";
        if (valued && !attached && i + 1 == args.size())
            return arg + " needs a value";
        std::string value = !valued ? arg : attached ? *attached : args[++i];
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
            std::string host = value.substr(0, colon);
            if (!ParseAddress(host, address)) {
                if (!resolve || host.empty() || host.find_first_not_of("0123456789.") == std::string::npos)
                    return "--check: '" + value + "' is not ADDRESS[:PORT] with a dotted IPv4 address";
                std::string why = resolve(host, address);
                if (!why.empty())
                    return "--check: cannot resolve '" + host + "': " + why;
            }
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
    // A server given twice (also as a name and as its address) is probed once:
    // one line of performance data for each label.
    for (const auto& [address, own] : servers) {
        std::pair<uint32_t, uint16_t> server(address, own ? *own : port ? *port : kCheckDefaultPort);
        if (std::find(parsed.checkServers.begin(), parsed.checkServers.end(), server) == parsed.checkServers.end())
            parsed.checkServers.push_back(server);
    }
    if (parsed.help || parsed.version)
        return {};
    if (parsed.checkServers.empty())
        return "--check: no ADDRESS given";
    for (std::string problem : {WarningAboveCritical("round-trip time", parsed.warningRtt, parsed.criticalRtt),
                                WarningAboveCritical("loss", parsed.warningLoss, parsed.criticalLoss)})
        if (!problem.empty())
            return problem;
    return {};
}

}  // namespace

bool IsCheck(const std::vector<std::string>& args)
{
    return std::find(args.begin(), args.end(), "--check") != args.end();
}

std::string ParseOptions(const std::vector<std::string>& args, Options& options, const NameResolver& resolve)
{
    Options parsed;
    if (IsCheck(args)) {
        std::string problem = ParseCheck(args, parsed, resolve);
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
