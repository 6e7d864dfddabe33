#include "ThresholdRange.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace lrdresponder {

namespace {

// Digits with an optional sign and fraction, nothing else: strtod alone would
// also take hexadecimal, exponents, "inf" and leading white space.
bool ParseNumber(const std::string& text, double& value)
{
    size_t i = text.size() > 0 && text[0] == '-' ? 1 : 0;
    size_t digits = 0, point = 0;
    for (; i < text.size(); ++i) {
        if (text[i] >= '0' && text[i] <= '9')
            ++digits;
        else if (text[i] == '.' && ++point == 1)
            continue;
        else
            return false;
    }
    if (digits == 0 || text.back() == '.' || text.size() > 32)
        return false;
    value = std::strtod(text.c_str(), nullptr);
    return true;
}

}  // namespace

bool ThresholdRange::Alerts(double value) const
{
    bool within = (!low || value >= *low) && (!high || value <= *high);
    return within == alertInside;
}

bool ParseThresholdRange(const std::string& text, ThresholdRange& range)
{
    ThresholdRange parsed;
    parsed.text = text;
    std::string rest = text;
    if (!rest.empty() && rest[0] == '@') {
        parsed.alertInside = true;
        rest.erase(0, 1);
    }
    size_t colon = rest.find(':');
    std::string start = colon == std::string::npos ? "" : rest.substr(0, colon);
    std::string end = colon == std::string::npos ? rest : rest.substr(colon + 1);
    double number = 0;
    if (start == "~") {
        parsed.low.reset();
    } else if (start.empty()) {
        parsed.low = 0.0;
    } else if (ParseNumber(start, number)) {
        parsed.low = number;
    } else {
        return false;
    }
    if (!end.empty()) {
        if (!ParseNumber(end, number))
            return false;
        parsed.high = number;
    } else if (colon == std::string::npos) {
        return false;
    }
    if (parsed.low && parsed.high && *parsed.low > *parsed.high)
        return false;
    range = parsed;
    return true;
}

std::string FormatDecimal(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", std::round(value * 1000) / 1000);
    std::string shown = text;
    while (shown.back() == '0')
        shown.pop_back();
    if (shown.back() == '.')
        shown.pop_back();
    return shown == "-0" ? "0" : shown;
}

}  // namespace lrdresponder
