#include "ProbeOptions.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "AddressText.h"

namespace lrdprobe {

const char kUsage[] =
    "usage: lrdprobe [options] SERVER...\n"
    "       lrdprobe [options] -f FILE\n"
    "  Probes every SERVER (ADDRESS[:PORT], port 8000 when absent) through\n"
    "  LinkrateDetector.dll and prints the servers ranked best first.\n"
    "  -f FILE          read servers from FILE, one a line, '#' starts a comment;\n"
    "                   '-' is standard input (may be repeated)\n"
    "  -t MS            time limit of a detection, 1 to 60000 (default 2000)\n"
    "  -c N             rounds, 1 to 1000, a new detector each (default 1)\n"
    "  --format FORMAT  summary as table, csv or json (default table)\n"
    "  -q               no live line per reply\n"
    "  -v               print the module's debugger output as it comes\n"
    "  --log FILE       append the module's log lines to FILE\n"
    "  --module PATH    the module to load (default: LinkrateDetector.dll beside lrdprobe)\n"
    "  -h, --help       this text\n"
    "Live lines go to standard error, the summary to standard output.\n"
    "Exit status: 0 when a server answered, 1 when none did, 2 for a usage error\n"
    "or a module that cannot be loaded or used.\n";

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

bool TakesValue(const std::string& option)
{
    return option == "-f" || option == "-t" || option == "-c" || option == "--format" || option == "--log" ||
           option == "--module";
}

}  // namespace

std::string ParseServer(const std::string& text, Server& server)
{
    size_t colon = text.find(':');
    std::string address = text.substr(0, colon);
    uint32_t parsed = 0;
    if (!lrdtools::ParseAddress(address, parsed))
        return "server '" + text + "': '" + address + "' is not a dotted IPv4 address";
    uint64_t port = kDefaultPort;
    if (colon != std::string::npos) {
        std::string portText = text.substr(colon + 1);
        if (!lrdtools::ParseDecimal(portText, 1, 65535, port))
            return "server '" + text + "': " + NotANumber("port", portText, 1, 65535);
    }
    server = Server{lrdtools::FormatAddress(parsed), uint16_t(port)};
    return {};
}

std::string ParseServerLines(const std::string& name, const std::string& text, std::vector<Server>& servers)
{
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        std::string entry = Trim(line.substr(0, line.find('#')));
        if (entry.empty())
            continue;
        Server server;
        std::string problem = ParseServer(entry, server);
        if (!problem.empty())
            return name + " line " + std::to_string(number) + ": " + problem;
        servers.push_back(server);
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

std::string ParseOptions(const std::vector<std::string>& args, Options& options, const FileReader& read)
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
            Server server;
            std::string problem = ParseServer(arg, server);
            if (!problem.empty())
                return problem;
            parsed.servers.push_back(server);
            continue;
        }

        if (arg == "-f") {
            std::string text;
            if (!read(value, text))
                return "-f " + value + ": cannot read the file";
            std::string problem =
                ParseServerLines(value == "-" ? "standard input" : value, text, parsed.servers);
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
