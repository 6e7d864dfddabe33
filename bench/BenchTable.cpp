#include "BenchTable.h"

#include <stdarg.h>
#include <stdio.h>

void PrintTableHeader()
{
    printf("| part | measure | module | literal | target | result |\n");
    printf("|---|---|---|---|---|---|\n");
    fflush(stdout);
}

void PrintRow(const std::string& part, const std::string& measure, const std::string& module,
              const std::string& literal, const std::string& target, const std::string& result)
{
    printf("| %s | %s | %s | %s | %s | %s |\n", part.c_str(), measure.c_str(), module.c_str(), literal.c_str(),
           target.c_str(), result.c_str());
    // Rows appear as they are measured; a long run shows its progress.
    fflush(stdout);
}

std::string FormatSeconds(double seconds)
{
    if (seconds < 1e-6)
        return Format("%.0f ns", seconds * 1e9);
    if (seconds < 1e-3)
        return Format("%.1f us", seconds * 1e6);
    if (seconds < 1)
        return Format("%.2f ms", seconds * 1e3);
    return Format("%.2f s", seconds);
}

std::string Format(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}
