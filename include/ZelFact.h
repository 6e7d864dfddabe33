/*
 * ZelFact.dll as it ships beside LinkrateDetector.dll: the framework's factory
 * library in its minimal form. Beyond CreateComponent (PFN_CreateComponent in
 * LinkrateDetector.h) it exports ZelFactConfigure. Usable from C and C++.
 */
#ifndef ZELFACT_H
#define ZELFACT_H

#include <stdint.h>

#include "LinkrateDetector.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Sets the log settings that GetLogSettings hands to every module: the level bits
 * (1 Error, 2 Trace) whose lines go to the debugger output and to the log file,
 * and the log file, opened for appending and shared with its lock by all modules
 * (null or "" for none). Call it once, before any component is created: a module
 * reads the settings when it makes a component. Returns 1 when done, 0 when the
 * log file cannot be opened (nothing changes then; GetLastError tells why) or
 * when it was done before.
 */
int32_t LRD_CDECL ZelFactConfigure(uint32_t debugMask, uint32_t fileMask, const char* logPath);

/* Its type, for a host that resolves it with GetProcAddress. */
typedef int32_t(LRD_CDECL* PFN_ZelFactConfigure)(uint32_t debugMask, uint32_t fileMask, const char* logPath);

#ifdef __cplusplus
}
#endif

#endif
