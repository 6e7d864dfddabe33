#include "ResponderOptions.h"

#include <algorithm>

namespace lrdresponder {

const char kUsage[] =
    "usage: lrdresponder [--bind ADDRESS] [--load N] [--delay MS] PORT...\n"
    "  Answers link-rate probes on each UDP PORT.\n"
    "  --bind ADDRESS  dotted IPv4 address to listen on (default 0.0.0.0)\n"
    "  --load N        load sent with every answer, 0 to 4294967295 (default: none)\n"
    "  --delay MS      hold every answer MS milliseconds, 0 to 60000 (default 0)\n";

namespace {

// Decimal digits only: no sign, no spaces, no hexadecimal.
bool ParseNumber(const std::string& text, uint64_t low, uint64_t high, uint64_t& value)
{
    if (text.empty() || text.size() > 10 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    value = std::stoull(text);
    return value >= low && value <= high;
}

std::string NotANumber(const std::string& what, const std::string& text, uint64_t low, uint64_t high)
{
    return what + ": '" + text + "' is not a number from " + std::to_string(low) + " to " + std::to_string(high);
}

}  // namespace

bool ParseAddress(const std::string& text, uint32_t& address)
{
    uint32_t result = 0;
    size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        size_t end = part < 3 ? text.find('.', start) : text.size();
        if (end == std::string::npos)
            return false;
        std::string digits = text.substr(start, end - start);
        uint64_t value = 0;
        if ((digits.size() > 1 && digits[0] == '0') || !ParseNumber(digits, 0, 255, value))
            return false;
        result = result << 8 | uint32_t(value);
        start = end + 1;
    }
    address = result;
    return true;
}

std::string FormatAddress(uint32_t address)
{
    return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 255) + "." +
           std::to_string(address >> 8 & 255) + "." + std::to_string(address & 255);
}

std::string ParseOptions(const std::vector<std::string>& args, Options& options)
{
    Options parsed;
    bool bindGiven = false, delayGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
            continue;
        }
        if (arg == "--bind" || arg == "--load" || arg == "--delay") {
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
                if (!ParseNumber(value, 0, UINT32_MAX, number))
                    return NotANumber(arg, value, 0, UINT32_MAX);
                parsed.load = uint32_t(number);
            } else {
                if (delayGiven)
                    return "--delay given twice";
                if (!ParseNumber(value, 0, kMaxDelayMs, number))
                    return NotANumber(arg, value, 0, kMaxDelayMs);
                parsed.delayMs = unsigned(number);
                delayGiven = true;
            }
            continue;
        }
        if (!arg.empty() && arg[0] == '-')
            return "unknown option '" + arg + "'";
        uint64_t port = 0;
        if (!ParseNumber(arg, 1, 65535, port))
            return NotANumber("PORT", arg, 1, 65535);
        if (std::find(parsed.ports.begin(), parsed.ports.end(), port) != parsed.ports.end())
            return "PORT " + arg + " given twice";
        parsed.ports.push_back(uint16_t(port));
    }
    if (parsed.ports.empty() && !parsed.help)
        return "no PORT given";
    options = parsed;
    return {};
}

}  // namespace lrdresponder
