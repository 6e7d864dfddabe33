// "ZelFact.dll" as it ships with lrdprobe: the framework core, configured once
// by its host through ZelFactConfigure.
#include "FactoryCore.h"
#include "ZelFact.h"

namespace {

CHeapMemoryService g_memory;
CHostFactory g_factory(g_memory);

SRWLOCK g_configureLock = SRWLOCK_INIT;
bool g_configured;
// The log file and its lock live as long as the library: modules may write a
// line while the process ends, so neither is closed then; an unload closes the
// file and deletes the lock, which no module can reach after it anyway.
CRITICAL_SECTION g_logLock;
HANDLE g_logFile = INVALID_HANDLE_VALUE;

}  // namespace

extern "C" {

IComponent* __cdecl CreateComponent(int32_t componentId, uint32_t) { return g_factory.ExportedComponent(componentId); }

int32_t __cdecl ZelFactConfigure(uint32_t debugMask, uint32_t fileMask, const char* logPath)
{
    AcquireSRWLockExclusive(&g_configureLock);
    int32_t result = 0;
    if (!g_configured) {
        bool wantsFile = logPath != nullptr && logPath[0] != '\0';
        HANDLE file = wantsFile ? CreateFileA(logPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
                                : INVALID_HANDLE_VALUE;
        if (!wantsFile || file != INVALID_HANDLE_VALUE) {
            LogSettings settings = {debugMask, fileMask, {nullptr, nullptr}, 0};
            if (wantsFile) {
                InitializeCriticalSection(&g_logLock);
                g_logFile = file;
                settings.record = {&g_logLock, file};
                settings.giveRecord = 1;
            }
            g_factory.SetLogSettings(settings);
            g_configured = true;
            result = 1;
        }
    }
    ReleaseSRWLockExclusive(&g_configureLock);
    return result;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason != DLL_PROCESS_DETACH || reserved != nullptr)
        return TRUE;
    if (g_logFile != INVALID_HANDLE_VALUE) {
        CloseHandle(g_logFile);
        DeleteCriticalSection(&g_logLock);
    }
    return TRUE;
}

}  // extern "C"
