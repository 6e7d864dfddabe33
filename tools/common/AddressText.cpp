#include "AddressText.h"

#include <algorithm>

namespace lrdtools {

bool ParseDecimal(const std::string& text, uint64_t low, uint64_t high, uint64_t& value)
{
    if (text.empty() || text.size() > 10 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    uint64_t parsed = std::stoull(text);
    if (parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}

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
        if ((digits.size() > 1 && digits[0] == '0') || !ParseDecimal(digits, 0, 255, value))
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

}  // namespace lrdtools
