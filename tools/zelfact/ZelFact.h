// What the shipped factory library "ZelFact.dll" exports beyond CreateComponent.
#pragma once

#include <stdint.h>

#include "LinkrateDetector.h"

// Sets the log settings that GetLogSettings hands to every module: the level bits
// (1 Error, 2 Trace) whose lines go to the debugger output and to the log file,
// and the log file, opened for appending and shared with its lock by all modules
// (null or "" for none). Call it once, before any component is created: a module
// reads the settings when it makes a component. Returns 1 when done, 0 when the
// log file cannot be opened (nothing changes then) or when it was done before.
typedef int32_t(LRD_CDECL* PFN_ZelFactConfigure)(uint32_t debugMask, uint32_t fileMask, const char* logPath);
