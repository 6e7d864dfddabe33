#include "DebugCapture.h"

#include <windows.h>

#include <mutex>

namespace {

std::mutex g_mutex;
std::vector<std::string> g_lines;
int g_captures;
PVOID g_handler;

LONG CALLBACK OnException(EXCEPTION_POINTERS* info)
{
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.emplace_back(text != nullptr ? text : "");
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

DebugCapture::DebugCapture()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_captures++ == 0)
        g_handler = AddVectoredExceptionHandler(1, OnException);
    g_lines.clear();
}

DebugCapture::~DebugCapture()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (--g_captures == 0) {
        RemoveVectoredExceptionHandler(g_handler);
        g_handler = nullptr;
    }
}

std::vector<std::string> DebugCapture::Lines() const
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lines;
}

std::vector<std::string> DebugCapture::Matching(const std::string& fragment) const
{
    std::vector<std::string> found;
    for (const std::string& line : Lines())
        if (line.find(fragment) != std::string::npos)
            found.push_back(line);
    return found;
}

void DebugCapture::Clear()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
}

void DebugCapture::Reserve(size_t lines)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.reserve(lines);
}
