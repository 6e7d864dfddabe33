// The thread's last error as the detector's operations leave it (through
// LastErrorOnReturn): a refused call or a failed step sets the code of its own
// reason (the table in LastError.cpp, documented in LinkrateDetector.h), a call
// that succeeds leaves the caller's, as Win32 functions do.
#pragma once

#include <windows.h>

#include "ModuleState.h"
#include "Refusal.h"

// The code a refusal leaves as the thread's last error.
DWORD RefusalLastError(Refusal refusal);
