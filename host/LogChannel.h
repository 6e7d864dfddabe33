// The trace and error lines of a component: two levels, two outputs (debugger,
// the host's log file), each switched per level by masks the host hands out when
// the channel is made. Without settings from the host the channel is silent.
#pragma once

#include <windows.h>

#include "SafeText.h"

class CLogChannel {
public:
    CLogChannel();

    void Trace(const char* format, ...) LRD_FORMAT(2, 3);
    void Error(const char* format, ...) LRD_FORMAT(2, 3);
    // The same with the arguments already gathered, for callers that forward theirs.
    void VTrace(const char* format, va_list args) LRD_FORMAT(2, 0);
    void VError(const char* format, va_list args) LRD_FORMAT(2, 0);
    // Whether Trace lines go anywhere: the masks are fixed when the channel is made.
    bool TraceWanted() const;
    // The Error line that follows an operation's "exit fail" line and says why:
    // "<operation> refused: <reason>", or "<operation> failed at <step>: error
    // <code>: <system text>" (without a code, the step alone).
    void Refused(const char* operation, const char* reason);
    void StepFailed(const char* operation, const char* step, uint32_t errorCode);

private:
    void Write(uint32_t level, const char* levelName, const char* format, va_list args);
    void WriteToFile(const char* line);

    uint32_t dwDebugMask;
    uint32_t dwFileMask;
    HANDLE hLogFile;                  // the host's; never closed here
    CRITICAL_SECTION* pFileLock;      // the host's; null means no locking
};
