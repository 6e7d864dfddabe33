#include "ProbeOptions.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <unordered_map>

#include "AddressText.h"
#include "ProbeRanking.h"

namespace lrdprobe {

const char kUsage[] =
    "usage: lrdprobe [options] [--] SERVER...\n"
    "       lrdprobe [options] -f FILE\n"
    "  Probes every SERVER through LinkrateDetector.dll and prints the servers\n"
    "  ranked best first. A SERVER is ADDRESS[:PORT] or HOSTNAME[:PORT], port 8000\n"
    "  when absent; a host name stands for each of its IPv4 addresses. A server\n"
    "  given twice is probed once. Short options combine: -qc5 is -q -c 5.\n"
    "  -f FILE          read servers from FILE, one a line, '#' starts a comment;\n"
    "                   '-' is standard input (may be repeated)\n"
    "  -t MS            time limit of a round, 1 to 5000 (default 2000); a round\n"
    "                   ends sooner when every server has answered\n"
    "  -c N             rounds, 1 to 1000, a new detector each (default 1)\n"
    "  -C N             as -c N, and each server's times per round under the table\n"
    "                   ('-' for a round without its reply)\n"
    "  -p MS            period between the starts of rounds, 0 to 3600000\n"
    "                   (default 1000); see Rounds below\n"
    "  --confidence P   go on with rounds until rank 1 is within the tolerance of\n"
    "                   the best with probability P (0.5 to 0.9999) or the rounds\n"
    "                   of -c are spent (default cap 100 rounds); later rounds ask\n"
    "                   only the servers that can still be within it\n"
    "  --tolerance S    how much worse than the best rank 1 may score and still\n"
    "                   be right, a share of the score (0.0 to 0.5, default 0.05)\n"
    "  --all-rounds     with --confidence, ask every server in every round\n"
    "  -r N             the module asks a server that has not answered again, up\n"
    "                   to N times (0 to 10) within the round; 0: one request per\n"
    "                   server (default: as the module's configuration says, which\n"
    "                   without a Zelvo.ini beside lrdprobe is one request)\n"
    "  -a               list only the servers that answered\n"
    "  -u               list only the servers that never answered\n"
    "  -s               counts and elapsed time on standard error at the end\n"
    "  --format FORMAT  summary as table, csv or json (default table)\n"
    "  --report FILE    also write FILE, an HTML page: the ranking, each server's\n"
    "                   times over the rounds, expected time against load\n"
    "  -q               no live line per reply\n"
    "  -v               print the module's debugger output as it comes\n"
    "  --log FILE       append the module's log lines to FILE\n"
    "  --module PATH    the module to load (default: LinkrateDetector.dll beside lrdprobe)\n"
    "  -h, --help       this text\n"
    "  -V, --version    lrdprobe's version\n"
    "Rounds: one at a time, never overlapping. The next starts -p ms after the\n"
    "  last one started, or when it ends if it lasts longer (a server that never\n"
    "  answers keeps every round open for -t); JSON's period_ms is the mean time\n"
    "  between the starts as it was. Rounds start at least 10 ms apart for each\n"
    "  request a round sends to one address (its servers times 1 + -r), so that a\n"
    "  responder's default rate limit (100 a second from one address) refuses none;\n"
    "  a shorter -p is raised to that, with a line on standard error. A line also\n"
    "  names a round that sends one address more than the 200 requests at once\n"
    "  that such a limit answers (those refused count as lost).\n"
    "Ranking: by score, smallest first; servers that never answered come last.\n"
    "  score = max(1 ms, expected time to an answer) x load of the last reply\n"
    "  (100 when a server sends none), the expected time being that of a client\n"
    "  that asks again after a retry time until it gets an answer:\n"
    "    expected = median rtt + retry x loss / (1 - loss)\n"
    "    retry    = 2 x median rtt, 1 to 5000 ms\n"
    "    loss     = (rounds lost + w x pooled) / (rounds asked + w)\n"
    "  pooled being the loss share of all servers that answered and w the weight\n"
    "  of a beta distribution fitted to how far their shares spread beyond what\n"
    "  chance spreads them by at its 99th percentile (infinite when they do not:\n"
    "  then every server carries the pooled share), so losses that all servers\n"
    "  share never decide, a steady loss does.\n"
    "  Equal scores: the smaller load first. A server counts as answered only by\n"
    "  a reply from its own address and port within 5000 ms.\n"
    "Confidence (under the table when two servers answered): the probability\n"
    "  that rank 1 is within the tolerance of the best, from 4000 seeded draws of\n"
    "  every server's true median (its median plus a Student t draw scaled by its\n"
    "  spread, which leans on the spread of all servers; 10 ms before a second\n"
    "  round) and loss share (from the beta distribution above and its rounds):\n"
    "  the share of draws in which rank 1 scores at most (1 + tolerance) times the\n"
    "  smallest score, lowered for each server that lost every round by the\n"
    "  chance that it lives and was only unlucky, and for what lies beyond the\n"
    "  draws' cut at 8 standard errors (so never 100%: above 99.9% it reads\n"
    "  '> 99.9%'). Servers whose score is within the tolerance of rank 1's are\n"
    "  named as tied with it. With --confidence, a server that is within the\n"
    "  tolerance of the best in fewer than 0.1% of the draws is not asked again\n"
    "  (the table says after which round); --all-rounds asks every server.\n"
    "Live lines, warnings and -s go to standard error, the summary to standard\n"
    "output, with line ends LF unless it is a Windows console. With 5 rounds or\n"
    "more the table shows each server's times as bars on one scale for all\n"
    "servers (the last 40 rounds; a gap for a round without its reply).\n"
    "Ctrl-C ends the run at once; from the first round on it prints the summary of\n"
    "what was heard, marked interrupted, with the rounds asked for and done (a\n"
    "round cut short counts, as fping counts its last ping; a server whose reply\n"
    "was not yet due in it counts as not asked, not as lost). Ctrl-Break (SIGQUIT,\n"
    "Ctrl-\\, through scripts/lrdprobe) prints the table of the rounds done so far\n"
    "on standard error and the run goes on.\n"
    "Exit status, as fping's:\n"
    "  0  every server answered (in at least one round)\n"
    "  1  some server never answered\n"
    "  2  a name did not resolve (the other servers, if any, were probed)\n"
    "  3  bad arguments or list lines (nothing probed)\n"
    "  4  the module or a system call failed\n"
    "  130  interrupted\n";

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

// Brackets, or colons beyond the one before a port among hexadecimal digits and
// dots (a zone after '%'), are IPv6 forms.
bool IsIPv6Text(const std::string& text)
{
    if (!text.empty() && text[0] == '[')
        return true;
    std::string address = text.substr(0, text.find('%'));
    return std::count(address.begin(), address.end(), ':') > 1 &&
           address.find_first_not_of("0123456789abcdefABCDEF:.") == std::string::npos;
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

// Bytes that a terminal would not show as themselves (a byte order mark, a
// control character) as \xHH, so that a message names what it refuses.
std::string Visible(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

bool TakesValue(const std::string& option)
{
    return option == "-f" || option == "-t" || option == "-c" || option == "-C" || option == "-p" || option == "-r" ||
           option == "--format" || option == "--log" || option == "--module" || option == "--report" ||
           option == "--confidence" || option == "--tolerance";
}

bool IsFlag(const std::string& option)
{
    return option == "-h" || option == "--help" || option == "-V" || option == "--version" || option == "-q" ||
           option == "-v" || option == "-a" || option == "-u" || option == "-s" || option == "--all-rounds";
}

// A decimal fraction as 0.95 or .95, within [low, high].
bool ParseShare(const std::string& text, double low, double high, double& share)
{
    size_t dot = text.find('.');
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos || dot == std::string::npos ||
        text.find('.', dot + 1) != std::string::npos || dot + 1 == text.size() || text.size() > 12)
        return false;
    double value = std::stod(text);
    if (value < low || value > high)
        return false;
    share = value;
    return true;
}

uint64_t EndpointKey(const Server& server)
{
    uint32_t address = 0;
    lrdtools::ParseAddress(server.address, address);
    return (uint64_t)address << 16 | server.port;
}

}  // namespace

std::string ParseServer(const std::string& text, std::vector<Server>& servers, const NameResolver& resolve,
                        std::string* unresolved)
{
    std::string prefix = "server '" + Visible(text) + "': ";
    if (text.find_first_of(" \t") != std::string::npos)
        return prefix + "holds blanks: give one server an argument or a line";
    if (IsIPv6Text(text))
        return prefix + "IPv6 is not supported by the probe protocol";
    if (text.find("://") != std::string::npos)
        return prefix + "a URL is not an address: give ADDRESS[:PORT] or HOSTNAME[:PORT]";
    size_t colon = text.find(':');
    std::string host = text.substr(0, colon);
    uint64_t port = kDefaultPort;
    if (colon != std::string::npos) {
        std::string portText = text.substr(colon + 1);
        if (!lrdtools::ParseDecimal(portText, 1, 65535, port))
            return prefix + NotANumber("port", Visible(portText), 1, 65535);
        // As lrdresponder: "08000" is octal to some tools and 8000 to others.
        if (portText[0] == '0')
            return prefix + "port '" + portText + "' has a leading zero";
    }

    uint32_t parsed = 0;
    if (lrdtools::ParseAddress(host, parsed)) {
        if (const char* why = WhyNotAServer(parsed))
            return prefix + host + " cannot be a server (" + why + ")";
        servers.push_back(Server{lrdtools::FormatAddress(parsed), uint16_t(port), {}});
        return {};
    }
    if (!IsHostName(host))
        return prefix + "'" + Visible(host) + "' is not a dotted IPv4 address or a host name";

    std::vector<uint32_t> addresses;
    std::string reason = resolve ? resolve(host, addresses) : "host names are not resolved here";
    std::string failure;
    if (!reason.empty())
        failure = prefix + "cannot resolve '" + host + "': " + reason;
    else if (addresses.empty())
        failure = prefix + "'" + host + "' has no IPv4 address";
    if (!failure.empty()) {
        if (unresolved == nullptr)
            return failure;
        *unresolved = failure;
        return {};
    }
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
                             const NameResolver& resolve, std::vector<std::string>* unresolved)
{
    // Editors on Windows start UTF-8 files with a byte order mark.
    static const char kByteOrderMark[] = "\xEF\xBB\xBF";
    std::istringstream lines(text.compare(0, 3, kByteOrderMark) == 0 ? text.substr(3) : text);
    std::string line, problems;
    size_t count = 0;
    for (int number = 1; std::getline(lines, line); ++number) {
        std::string entry = Trim(line.substr(0, line.find('#')));
        if (entry.empty())
            continue;
        std::string failed;
        std::string problem = ParseServer(entry, servers, resolve, unresolved != nullptr ? &failed : nullptr);
        std::string where = name + " line " + std::to_string(number) + ": ";
        if (!failed.empty())
            unresolved->push_back(where + failed);
        if (problem.empty())
            continue;
        if (++count <= kMaxReportedProblems)
            problems += (problems.empty() ? "" : "\n") + where + problem;
    }
    if (count > kMaxReportedProblems)
        problems += "\n" + name + ": " + std::to_string(count - kMaxReportedProblems) + " more lines like these";
    return problems;
}

std::string ReadWholeFile(const std::string& name, std::string& text)
{
    if (name == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return std::cin.bad() ? "cannot read standard input" : "";
    }
    struct stat status;
    if (stat(name.c_str(), &status) != 0)
        return errno == ENOENT ? "no such file" : strerror(errno);
    if (S_ISDIR(status.st_mode))
        return "is a folder";
    std::ifstream file(name, std::ios::binary);
    if (!file)
        return "cannot open the file";
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return file.bad() ? "cannot read the file" : "";
}

std::string CheckOutputPath(const std::string& path)
{
    struct stat status;
    if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        return "is a folder";
    size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos)
        return {};
    // The root of a drive or of the file system is a folder of its own.
    std::string folder = slash == 0 || path[slash - 1] == ':' ? path.substr(0, slash + 1) : path.substr(0, slash);
    if (stat(folder.c_str(), &status) != 0)
        return "no such folder " + folder;
    if (!S_ISDIR(status.st_mode))
        return folder + " is not a folder";
    return {};
}

uint32_t RequestsToOneAddress(const Options& options)
{
    std::unordered_map<std::string, uint32_t> perAddress;
    uint32_t most = 0;
    for (const Server& server : options.servers)
        most = std::max(most, ++perAddress[server.address]);
    return most * (1 + uint32_t(std::max<int32_t>(options.reprobes, 0)));
}

uint32_t PacedPeriodMs(const Options& options)
{
    return std::min<uint64_t>(uint64_t(RequestsToOneAddress(options)) * kResponderIntervalMs, kMaxPeriodMs);
}

std::string ParseOptions(const std::vector<std::string>& args, Options& options, const FileReader& read,
                         const NameResolver& resolve)
{
    Options parsed;
    std::vector<std::string> list(args);
    std::vector<std::string> given;
    std::vector<std::string> unresolved;
    bool optionsEnded = false;
    for (size_t i = 0; i < list.size(); ++i) {
        std::string arg = list[i];
        if (optionsEnded || arg.empty() || arg[0] != '-') {
            std::string failed;
            std::string problem = ParseServer(arg, parsed.servers, resolve, &failed);
            if (!problem.empty())
                return problem;
            if (!failed.empty())
                unresolved.push_back(failed);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string value;
        bool hasValue = false;
        size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0) {
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
                hasValue = true;
                arg = arg.substr(0, equals);
                if (!TakesValue(arg))
                    return "unknown option '" + Visible(list[i]) + "'";
            }
        } else if (arg.size() > 2) {
            // A cluster of short options: flags, then at most one that takes the
            // rest of the argument (or the next one) as its value.
            std::string option = arg.substr(0, 2);
            if (IsFlag(option)) {
                // The rest of the cluster is taken as the next argument.
                list[i] = "-" + arg.substr(2);
                --i;
                arg = option;
            } else if (TakesValue(option)) {
                value = arg.substr(2);
                hasValue = true;
                arg = option;
            } else {
                return "unknown option '" + Visible(option) + "' in '" + Visible(arg) + "'";
            }
        }
        if (IsFlag(arg)) {
            if (arg == "-h" || arg == "--help")
                parsed.help = true;
            else if (arg == "-V" || arg == "--version")
                parsed.version = true;
            else if (arg == "--all-rounds")
                parsed.allRounds = true;
            else if (arg == "-q")
                parsed.quiet = true;
            else if (arg == "-v")
                parsed.verbose = true;
            else if (arg == "-a")
                parsed.onlyAnswering = true;
            else if (arg == "-u")
                parsed.onlySilent = true;
            else
                parsed.stats = true;
            continue;
        }
        if (!TakesValue(arg))
            return "unknown option '" + Visible(arg) + "'";
        if (!hasValue) {
            if (i + 1 == list.size())
                return arg + " needs a value";
            value = list[++i];
        }

        if (arg == "-f") {
            std::string text;
            std::string why = read(value, text);
            if (!why.empty())
                return "-f " + Visible(value) + ": " + why;
            std::string problems = ParseServerLines(value == "-" ? "standard input" : Visible(value), text,
                                                    parsed.servers, resolve, &unresolved);
            if (!problems.empty())
                return problems;
            continue;
        }
        // -c and -C both set the rounds.
        std::string kind = arg == "-C" ? "-c" : arg;
        for (const std::string& earlier : given)
            if (earlier == kind)
                return arg == kind ? arg + " given twice" : "-c and -C given together";
        given.push_back(kind);
        uint64_t number = 0;
        if (arg == "-t") {
            if (!lrdtools::ParseDecimal(value, 1, kMaxTimeLimitMs, number))
                return NotANumber("-t", Visible(value), 1, kMaxTimeLimitMs);
            parsed.timeLimitMs = uint32_t(number);
        } else if (arg == "-c" || arg == "-C") {
            if (!lrdtools::ParseDecimal(value, 1, kMaxRounds, number))
                return NotANumber(arg, Visible(value), 1, kMaxRounds);
            parsed.rounds = uint32_t(number);
            parsed.samples = arg == "-C";
        } else if (arg == "-p") {
            if (!lrdtools::ParseDecimal(value, 0, kMaxPeriodMs, number))
                return NotANumber("-p", Visible(value), 0, kMaxPeriodMs);
            parsed.periodMs = uint32_t(number);
        } else if (arg == "-r") {
            if (!lrdtools::ParseDecimal(value, 0, kMaxReprobes, number))
                return NotANumber("-r", Visible(value), 0, kMaxReprobes);
            parsed.reprobes = int32_t(number);
        } else if (arg == "--confidence") {
            if (!ParseShare(value, kMinConfidence, kMaxConfidence, parsed.confidenceGoal))
                return "--confidence '" + Visible(value) + "' is not a probability from 0.5 to 0.9999";
        } else if (arg == "--tolerance") {
            if (!ParseShare(value, 0, kMaxTolerance, parsed.tolerance))
                return "--tolerance '" + Visible(value) + "' is not a share from 0.0 to 0.5";
        } else if (arg == "--format") {
            if (value == "table")
                parsed.format = Format::kTable;
            else if (value == "csv")
                parsed.format = Format::kCsv;
            else if (value == "json")
                parsed.format = Format::kJson;
            else
                return "--format '" + Visible(value) + "': choose table, csv or json";
        } else if (value.empty()) {
            return arg + " needs a value";
        } else if (arg == "--log") {
            parsed.logPath = value;
        } else if (arg == "--report") {
            parsed.reportPath = value;
        } else {
            parsed.modulePath = value;
        }
    }
    if (parsed.help || parsed.version) {
        options = parsed;
        return {};
    }
    if (parsed.onlyAnswering && parsed.onlySilent)
        return "-a and -u exclude each other";
    if (parsed.confidenceGoal > 0 && std::find(given.begin(), given.end(), "-c") == given.end())
        parsed.rounds = kConfidenceRounds;
    if (parsed.tolerance < 0)
        parsed.tolerance = kDefaultTolerance;

    // An endpoint given again (also through a host name) is probed once.
    std::vector<Server> distinct;
    std::unordered_map<uint64_t, size_t> first;
    size_t repeated = 0;
    for (const Server& server : parsed.servers) {
        auto made = first.emplace(EndpointKey(server), distinct.size());
        if (made.second) {
            distinct.push_back(server);
            continue;
        }
        if (++repeated > kMaxReportedProblems)
            continue;
        const Server& earlier = distinct[made.first->second];
        std::string shown = server.address + ":" + std::to_string(server.port);
        parsed.warnings.push_back(shown + (server.name.empty() ? "" : " (" + server.name + ")") +
                                  " is given more than once" +
                                  (earlier.name != server.name && !earlier.name.empty() ? ", also as " + earlier.name
                                                                                        : "") +
                                  ": probed once");
    }
    if (repeated > kMaxReportedProblems)
        parsed.warnings.push_back(std::to_string(repeated - kMaxReportedProblems) +
                                  " more entries given more than once: each probed once");
    parsed.servers.swap(distinct);
    parsed.unresolved = uint32_t(unresolved.size());
    parsed.unresolvedLines = unresolved;
    parsed.warnings.insert(parsed.warnings.begin(), unresolved.begin(), unresolved.end());

    // Names that all failed to resolve are no fault of the command line: they
    // are reported as such (status 2, as fping), and nothing is probed.
    if (parsed.servers.empty() && unresolved.empty())
        return "no SERVER given";
    if (parsed.servers.size() > kMaxServers)
        return std::to_string(parsed.servers.size()) + " servers given; a detection takes at most " +
               std::to_string(kMaxServers);
    options = parsed;
    return {};
}

}  // namespace lrdprobe
