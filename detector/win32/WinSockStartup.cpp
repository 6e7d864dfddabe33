#include "WinSockStartup.h"

#include <winsock2.h>

#include <stdint.h>

namespace {

CRITICAL_SECTION g_startupLock;
int32_t g_startupLockUsers;
int32_t g_startupCount;

// The lock exists from the module's static initialisation to the destruction of
// its statics at unload; detectors live strictly in between.
struct StartupLockLifetime {
    StartupLockLifetime()
    {
        if (g_startupLockUsers++ == 0)
            InitializeCriticalSection(&g_startupLock);
    }
    ~StartupLockLifetime()
    {
        if (--g_startupLockUsers == 0)
            DeleteCriticalSection(&g_startupLock);
    }
} g_startupLockLifetime;

}  // namespace

CWinSockStartup::CWinSockStartup()
{
    EnterCriticalSection(&g_startupLock);
    if (++g_startupCount == 1) {
        // A failed start-up is not kept: the socket calls fail later instead.
        WSADATA data = {};
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
            data = WSADATA{};
            WSAStartup(MAKEWORD(1, 1), &data);
        }
    }
    LeaveCriticalSection(&g_startupLock);
}

CWinSockStartup::~CWinSockStartup()
{
    EnterCriticalSection(&g_startupLock);
    if (--g_startupCount == 0)
        WSACleanup();
    LeaveCriticalSection(&g_startupLock);
}
