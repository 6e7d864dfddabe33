#include "LogChannel.h"

#include <string.h>
#include <time.h>

#include <atomic>

#include "HostComponents.h"

namespace {

enum : uint32_t {
    kErrorBit = 1,
    kTraceBit = 2,
};

const int32_t kModuleId = (int32_t)LRD_DETECTOR_ID;

// Module-wide, shared by every channel of the module.
std::atomic<int32_t> g_processId{-1};
// Numbers the module's lines in the log file. Taken and advanced in one step, so
// that channels on several threads never share a number even without a host lock.
std::atomic<int32_t> g_fileLineCounter{0};
// The factory's own cell for this module; the module passes its address only.
int32_t g_moduleLogCell;

}  // namespace

CLogChannel::CLogChannel()
    : dwDebugMask(0), dwFileMask(0), hLogFile(INVALID_HANDLE_VALUE), pFileLock(nullptr)
{
    if (g_processId.load() == -1)
        g_processId.store((int32_t)GetCurrentProcessId());
    IComponentFactory* factory = FindLoadedFactory();
    if (factory == nullptr)
        return;
    HostLogFile* record = nullptr;
    factory->GetLogSettings(&g_moduleLogCell, kModuleId, &dwDebugMask, &dwFileMask, &record);
    if (record != nullptr) {
        pFileLock = static_cast<CRITICAL_SECTION*>(record->fileLock);
        hLogFile = static_cast<HANDLE>(record->logFile);
    }
}

void CLogChannel::Trace(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Write(kTraceBit, "Trace", format, args);
    va_end(args);
}

void CLogChannel::Error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Write(kErrorBit, "Error", format, args);
    va_end(args);
}

void CLogChannel::VTrace(const char* format, va_list args) { Write(kTraceBit, "Trace", format, args); }

bool CLogChannel::TraceWanted() const { return ((dwDebugMask | dwFileMask) & kTraceBit) != 0; }

void CLogChannel::VError(const char* format, va_list args) { Write(kErrorBit, "Error", format, args); }

void CLogChannel::Refused(const char* operation, const char* reason)
{
    Error("%s refused: %s", operation, reason);
}

void CLogChannel::StepFailed(const char* operation, const char* step, uint32_t errorCode)
{
    if (((dwDebugMask | dwFileMask) & kErrorBit) == 0)
        return;
    if (errorCode == 0) {
        Error("%s failed at %s", operation, step);
        return;
    }
    char text[256] = {0};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, errorCode, 0,
                                  text, sizeof text, nullptr);
    // The system's text ends with a line break, which the line brings itself.
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' '))
        text[--length] = '\0';
    Error("%s failed at %s: error %u: %s", operation, step, errorCode, length > 0 ? text : "no text from the system");
}

void CLogChannel::Write(uint32_t level, const char* levelName, const char* format, va_list args)
{
    uint32_t debuggerOn = dwDebugMask & level;
    uint32_t fileOn = dwFileMask & level;
    if (debuggerOn == 0 && fileOn == 0)
        return;
    // The caller's format goes into the line format as text, so its conversions
    // are applied once, with the caller's arguments, in the second step.
    char lineFormat[256] = {0};
    SafePrint(lineFormat, sizeof lineFormat, sizeof lineFormat - 1, "[T%d][M%d][%s]%s\n", (int)GetCurrentThreadId(),
              kModuleId, levelName, format);
    char line[1024] = {0};
    SafeVPrint(line, sizeof line, sizeof line - 1, lineFormat, args);
    if (debuggerOn != 0)
        OutputDebugStringA(line);
    if (fileOn != 0)
        WriteToFile(line);
}

void CLogChannel::WriteToFile(const char* line)
{
    if (pFileLock != nullptr)
        EnterCriticalSection(pFileLock);
    if (hLogFile != INVALID_HANDLE_VALUE) {
        // Another writer may have moved the pointer since: every line goes to the end.
        LONG high = 0;
        DWORD moved = SetFilePointer(hLogFile, 0, &high, FILE_END);
        DWORD error = GetLastError();
        if (moved == INVALID_SET_FILE_POINTER && error != 0) {
            char message[1024] = {0};
            SafePrint(message, sizeof message, sizeof message - 1,
                      "Set log file pointer at end fail , error id = %d !\n", (int)error);
            OutputDebugStringA(message);
        } else {
            time_t now = time(nullptr);
            const struct tm* local = localtime(&now);
            struct tm clock = {};
            if (local != nullptr)
                clock = *local;
            char fileLine[1024] = {0};
            SafePrint(fileLine, sizeof fileLine, sizeof fileLine - 1, "%d\t%02d:%02d:%02d\t[P%d]%s",
                      g_fileLineCounter.fetch_add(1), clock.tm_hour, clock.tm_min, clock.tm_sec, g_processId.load(),
                      line);
            DWORD written = 0;
            WriteFile(hLogFile, fileLine, (DWORD)strlen(fileLine), &written, nullptr);
        }
    }
    if (pFileLock != nullptr)
        LeaveCriticalSection(pFileLock);
}
