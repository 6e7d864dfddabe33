// Module-wide state: the creator table and cache, the live-component registry,
// the registry path, the injected factory handle, the safe flag and the module lock.
#pragma once

#include <windows.h>

#include "LinkrateDetector.h"
#include "SafeText.h"

typedef IComponent* (*ComponentCreator)();

void RegisterCreator(int32_t componentId, ComponentCreator creator);
ComponentCreator FindCreator(int32_t componentId);
// Called by Release after the component was destroyed; the pointer is only a key.
void RemoveComponent(IComponent* component, int32_t notifyFactory);
void ReportLeaks();

// Re-entrant; created on first use, which also sets the safe flag.
void LockModule();
void UnlockModule();

class ModuleLockGuard {
public:
    ModuleLockGuard() { LockModule(); }
    ~ModuleLockGuard() { UnlockModule(); }
    ModuleLockGuard(const ModuleLockGuard&) = delete;
    ModuleLockGuard& operator=(const ModuleLockGuard&) = delete;
};

void DebugPrint(const char* format, ...) LRD_FORMAT(1, 2);

int32_t ModuleSafeFlag();
HMODULE ModuleHandle();
HMODULE InjectedFactoryHandle();
// Copies the registry path under the module lock, so that a reader never sees a
// text that SetDLLRegistry is rewriting on another thread.
void CopyRegistryPath(char (&out)[kPathBufferSize]);

// Process attach and detach steps of the library.
void ModuleAttach(HMODULE module);
void ModuleDetach();

// Registers a creator during static initialisation of the module.
struct CreatorRegistration {
    CreatorRegistration(int32_t componentId, ComponentCreator creator) { RegisterCreator(componentId, creator); }
};
