// Decimal numbers and dotted IPv4 addresses as the tools read them from a command
// line or a file, without any platform header.
#pragma once

#include <cstdint>
#include <string>

namespace lrdtools {

// Decimal digits only, between low and high: no sign, no spaces, no hexadecimal.
bool ParseDecimal(const std::string& text, uint64_t low, uint64_t high, uint64_t& value);

// Strict dotted IPv4: four decimal parts 0..255 without leading zeros, so that
// no part can be mistaken for octal. The address comes out in host byte order.
bool ParseAddress(const std::string& text, uint32_t& address);
std::string FormatAddress(uint32_t address);

}  // namespace lrdtools
