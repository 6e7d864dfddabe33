// The thread's last error as the detector's operations leave it: a refused call
// or a failed step sets the code of its own reason (the table in
// LastError.cpp, documented in LinkrateDetector.h), a call that succeeds leaves
// the caller's, as Win32 functions do.
#pragma once

#include <windows.h>

#include "Refusal.h"

// The code a refusal leaves as the thread's last error.
DWORD RefusalLastError(Refusal refusal);

// Lives on an operation's stack, made before its call guard: the guard may
// complete a release, whose system calls change the last error, and this sets
// it after that, without touching the detector, which may be gone by then.
class LastErrorOnReturn {
public:
    LastErrorOnReturn() : dwError(GetLastError()) {}
    ~LastErrorOnReturn() { SetLastError(dwError); }
    LastErrorOnReturn(const LastErrorOnReturn&) = delete;
    LastErrorOnReturn& operator=(const LastErrorOnReturn&) = delete;

    // The operation's result, leaving error as the last error unless it is 0.
    int32_t Return(int32_t result, DWORD error)
    {
        if (error != 0)
            dwError = error;
        return result;
    }

private:
    DWORD dwError;
};
