#include "ProbeOptions.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "AddressText.h"

namespace lrdprobe {

const char kUsage[] =
    "usage: lrdprobe [options] SERVER...\n"
    "       lrdprobe [options] -f FILE\n"
    "  Probes every SERVER through LinkrateDetector.dll and prints the servers\n"
    "  ranked best first. A SERVER is ADDRESS[:PORT] or HOSTNAME[:PORT], port 8000\n"
    "  when absent; a host name stands for each of its IPv4 addresses.\n"
    "  -f FILE          read servers from FILE, one a line, '#' starts a comment;\n"
    "                   '-' is standard input (may be repeated)\n"
    "  -t MS            time limit of a round, 1 to 5000 (default 2000); a round\n"
    "                   ends sooner when every server has answered\n"
    "  -c N             rounds, 1 to 1000, a new detector each (default 1)\n"
    "  -p MS            period between the starts of rounds, 0 to 3600000\n"
    "                   (default 1000), so that responders' rate limits stay clear\n"
    "  --format FORMAT  summary as table, csv or json (default table)\n"
    "  -q               no live line per reply\n"
    "  -v               print the module's debugger output as it comes\n"
    "  --log FILE       append the module's log lines to FILE\n"
    "  --module PATH    the module to load (default: LinkrateDetector.dll beside lrdprobe)\n"
    "  -h, --help       this text\n"
    "Ranking: by score, smallest first; servers that never answered come last.\n"
    "  score = max(1 ms, expected time to an answer) x load of the last reply\n"
    "  (100 when a server sends none), the expected time being that of a client\n"
    "  that asks again after a retry time until it gets an answer:\n"
    "    expected = median rtt + retry x loss / (1 - loss)\n"
    "    retry    = median rtt + 4 x mean deviation of the rtts, 100 to 5000 ms\n"
    "    loss     = (rounds lost + 10 x loss share of all servers that answered)\n"
    "               / (rounds + 10)\n"
    "  so one lost reply in a few rounds weighs little, a steady loss much.\n"
    "  Equal scores: the smaller load first. A server counts as answered only by\n"
    "  a reply from its own address and port within 5000 ms.\n"
    "Live lines go to standard error, the summary to standard output; Ctrl-C\n"
    "prints the summary of the rounds completed so far.\n"
    "Exit status: 0 when a server answered, 1 when none did, 2 for a usage error\n"
    "or a module that cannot be loaded or used, 130 when interrupted.\n";

namespace {

const char kBlanks[] = " \t\r";

std::string Trim(const std::string& text)
{
    size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::string NotANumber(const std::string& what, const std::string& text, uint64_t low, uint64_t high)
{
    return what + " '" + text + "' is not a number from " + std::to_string(low) + " to " + std::to_string(high);
}

// Colons beyond the one before a port, or brackets, are IPv6 forms.
bool IsIPv6Text(const std::string& text)
{
    return (!text.empty() && text[0] == '[') || std::count(text.begin(), text.end(), ':') > 1;
}

// Destinations that no single server can answer from: null when the address
// can be one, else why not.
const char* WhyNotAServer(uint32_t address)
{
    if (address == 0)
        return "the unspecified address";
    if (address == 0xFFFFFFFFu)
        return "the broadcast address";
    if ((address >> 28) == 0xE)
        return "a multicast address, 224.0.0.0/4";
    if ((address >> 28) == 0xF)
        return "a reserved address, 240.0.0.0/4";
    return nullptr;
}

// Letters, digits and hyphens in dot-separated labels of at most 63 characters,
// the last label starting with a letter: so "1.2.3" or "0x7f.1" are never taken
// for names and handed to a resolver that would read them as numbers.
bool IsHostName(const std::string& text)
{
    if (text.empty() || text.size() > 253)
        return false;
    std::string name = text.back() == '.' ? text.substr(0, text.size() - 1) : text;
    size_t start = 0, lastStart = 0;
    while (start <= name.size()) {
        size_t end = name.find('.', start);
        if (end == std::string::npos)
            end = name.size();
        std::string label = name.substr(start, end - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-')
                return false;
        lastStart = start;
        start = end + 1;
    }
    return std::isalpha(static_cast<unsigned char>(name[lastStart])) != 0;
}

bool TakesValue(const std::string& option)
{
    return option == "-f" || option == "-t" || option == "-c" || option == "-p" || option == "--format" ||
           option == "--log" ||
           option == "--module";
}

}  // namespace

std::string ParseServer(const std::string& text, std::vector<Server>& servers, const NameResolver& resolve)
{
    std::string prefix = "server '" + text + "': ";
    if (IsIPv6Text(text))
        return prefix + "IPv6 is not supported by the probe protocol";
    size_t colon = text.find(':');
    std::string host = text.substr(0, colon);
    uint64_t port = kDefaultPort;
    if (colon != std::string::npos) {
        std::string portText = text.substr(colon + 1);
        if (!lrdtools::ParseDecimal(portText, 1, 65535, port))
            return prefix + NotANumber("port", portText, 1, 65535);
    }

    uint32_t parsed = 0;
    if (lrdtools::ParseAddress(host, parsed)) {
        if (const char* why = WhyNotAServer(parsed))
            return prefix + host + " cannot be a server (" + why + ")";
        servers.push_back(Server{lrdtools::FormatAddress(parsed), uint16_t(port), {}});
        return {};
    }
    if (!IsHostName(host))
        return prefix + "'" + host + "' is not a dotted IPv4 address or a host name";

    std::vector<uint32_t> addresses;
    std::string reason = resolve ? resolve(host, addresses) : "host names are not resolved here";
    if (!reason.empty())
        return prefix + "cannot resolve '" + host + "': " + reason;
    if (addresses.empty())
        return prefix + "'" + host + "' has no IPv4 address";
    std::vector<uint32_t> distinct;
    for (uint32_t address : addresses) {
        if (std::find(distinct.begin(), distinct.end(), address) != distinct.end())
            continue;
        if (const char* why = WhyNotAServer(address))
            return prefix + "'" + host + "' resolves to " + lrdtools::FormatAddress(address) +
                   ", which cannot be a server (" + why + ")";
        distinct.push_back(address);
    }
    for (uint32_t address : distinct)
        servers.push_back(Server{lrdtools::FormatAddress(address), uint16_t(port), host});
    return {};
}

std::string ParseServerLines(const std::string& name, const std::string& text, std::vector<Server>& servers,
                             const NameResolver& resolve)
{
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        std::string entry = Trim(line.substr(0, line.find('#')));
        if (entry.empty())
            continue;
        std::string problem = ParseServer(entry, servers, resolve);
        if (!problem.empty())
            return name + " line " + std::to_string(number) + ": " + problem;
    }
    return {};
}

bool ReadWholeFile(const std::string& name, std::string& text)
{
    if (name == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return !std::cin.bad();
    }
    std::ifstream file(name, std::ios::binary);
    if (!file)
        return false;
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

std::string ParseOptions(const std::vector<std::string>& args, Options& options, const FileReader& read,
                         const NameResolver& resolve)
{
    Options parsed;
    std::vector<std::string> given;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg == "-h" || arg == "--help") {
            parsed.help = true;
            continue;
        }
        if (arg == "-q" || arg == "-v") {
            (arg == "-q" ? parsed.quiet : parsed.verbose) = true;
            continue;
        }
        std::string value;
        size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            if (!TakesValue(arg))
                return "unknown option '" + args[i] + "'";
        } else if (TakesValue(arg)) {
            if (i + 1 == args.size())
                return arg + " needs a value";
            value = args[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            return "unknown option '" + arg + "'";
        } else {
            std::string problem = ParseServer(arg, parsed.servers, resolve);
            if (!problem.empty())
                return problem;
            continue;
        }

        if (arg == "-f") {
            std::string text;
            if (!read(value, text))
                return "-f " + value + ": cannot read the file";
            std::string problem =
                ParseServerLines(value == "-" ? "standard input" : value, text, parsed.servers, resolve);
            if (!problem.empty())
                return problem;
            continue;
        }
        for (const std::string& earlier : given)
            if (earlier == arg)
                return arg + " given twice";
        given.push_back(arg);
        uint64_t number = 0;
        if (arg == "-t") {
            if (!lrdtools::ParseDecimal(value, 1, kMaxTimeLimitMs, number))
                return NotANumber("-t", value, 1, kMaxTimeLimitMs);
            parsed.timeLimitMs = uint32_t(number);
        } else if (arg == "-c") {
            if (!lrdtools::ParseDecimal(value, 1, kMaxRounds, number))
                return NotANumber("-c", value, 1, kMaxRounds);
            parsed.rounds = uint32_t(number);
        } else if (arg == "-p") {
            if (!lrdtools::ParseDecimal(value, 0, kMaxPeriodMs, number))
                return NotANumber("-p", value, 0, kMaxPeriodMs);
            parsed.periodMs = uint32_t(number);
        } else if (arg == "--format") {
            if (value == "table")
                parsed.format = Format::kTable;
            else if (value == "csv")
                parsed.format = Format::kCsv;
            else if (value == "json")
                parsed.format = Format::kJson;
            else
                return "--format '" + value + "': choose table, csv or json";
        } else if (value.empty()) {
            return arg + " needs a value";
        } else if (arg == "--log") {
            parsed.logPath = value;
        } else {
            parsed.modulePath = value;
        }
    }
    if (!parsed.help) {
        if (parsed.servers.empty())
            return "no SERVER given";
        if (parsed.servers.size() > kMaxServers)
            return std::to_string(parsed.servers.size()) + " servers given; a detection takes at most " +
                   std::to_string(kMaxServers);
    }
    options = parsed;
    return {};
}

}  // namespace lrdprobe
