#include "HostSettings.h"

#include <string.h>

namespace {

// Plain data, zero before any constructor of the module runs.
SRWLOCK g_registryPathLock = SRWLOCK_INIT;
char g_registryPath[kPathBufferSize];
HMODULE volatile g_factoryHandle;

}  // namespace

void StoreRegistryPath(const char* path)
{
    AcquireSRWLockExclusive(&g_registryPathLock);
    if (path != nullptr && strnlen(path, kPathBufferSize) < kPathBufferSize)
        memcpy(g_registryPath, path, strlen(path) + 1);
    else
        g_registryPath[0] = '\0';
    ReleaseSRWLockExclusive(&g_registryPathLock);
}

void CopyRegistryPath(char (&out)[kPathBufferSize])
{
    AcquireSRWLockShared(&g_registryPathLock);
    memcpy(out, g_registryPath, sizeof out);
    ReleaseSRWLockShared(&g_registryPathLock);
}

void StoreInjectedFactoryHandle(HMODULE factoryModule) { g_factoryHandle = factoryModule; }

HMODULE InjectedFactoryHandle() { return g_factoryHandle; }
