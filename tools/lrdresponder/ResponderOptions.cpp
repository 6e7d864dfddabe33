#include "ResponderOptions.h"

#include <algorithm>

namespace lrdresponder {

const char kUsage[] =
    "usage: lrdresponder [--bind ADDRESS] [--load N] [--delay MS] PORT...\n"
    "  Answers link-rate probes on each UDP PORT.\n"
    "  --bind ADDRESS  dotted IPv4 address to listen on (default 0.0.0.0)\n"
    "  --load N        load sent with every answer, 0 to 4294967295 (default: none)\n"
    "  --delay MS      hold every answer MS milliseconds, 0 to 60000 (default 0)\n";

using lrdtools::ParseDecimal;

namespace {

std::string NotANumber(const std::string& what, const std::string& text, uint64_t low, uint64_t high)
{
    return what + ": '" + text + "' is not a number from " + std::to_string(low) + " to " + std::to_string(high);
}

}  // namespace

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
                if (!ParseDecimal(value, 0, UINT32_MAX, number))
                    return NotANumber(arg, value, 0, UINT32_MAX);
                parsed.load = uint32_t(number);
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
    options = parsed;
    return {};
}

}  // namespace lrdresponder
