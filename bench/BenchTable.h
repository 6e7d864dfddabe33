// The benchmark's one table: every part prints its rows in the same six columns.
#pragma once

#include <string>

void PrintTableHeader();
void PrintRow(const std::string& part, const std::string& measure, const std::string& module,
              const std::string& literal, const std::string& target, const std::string& result);

// "850 ns", "12.3 us", "4.56 ms", "7.89 s".
std::string FormatSeconds(double seconds);
// printf into a string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
