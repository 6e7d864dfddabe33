// Module-wide state: the creator table and cache, the live-component registry,
// the unload count, the safe flag and the module lock.
#pragma once

#include <windows.h>

#include "LinkrateDetector.h"
#include "SafeText.h"

typedef IComponent* (*ComponentCreator)();

void RegisterCreator(int32_t componentId, ComponentCreator creator);
ComponentCreator FindCreator(int32_t componentId);
// The removal of a component from the registry, made by Release around the
// component's destruction. Construction takes the record out under the module
// lock while the component still exists, so its address cannot yet have been
// handed to another thread's new component; a pointer without a record writes
// the two error lines. Destruction, after the component is gone, sends the unload
// notice when this removal left the registry empty and notifyFactory is non-zero,
// with no module lock held. ZelvoDllCanUnloadNow says 0 from construction to the
// end of destruction.
class ComponentRemoval {
public:
    ComponentRemoval(IComponent* component, int32_t notifyFactory);
    ~ComponentRemoval();
    ComponentRemoval(const ComponentRemoval&) = delete;
    ComponentRemoval& operator=(const ComponentRemoval&) = delete;

private:
    bool bNoticeDue;
};
void ReportLeaks();

// Module code that will still run after the last component is gone (a timer left
// ticking on another thread by a release there) holds the module: until the hold
// ends, ZelvoDllCanUnloadNow says 0, so that the host does not free the code
// that tick is still to run.
void HoldModuleUnload();
void EndModuleUnloadHold();
// Ends the holds whose code can no longer run (a timer of a thread that has
// ended); ZelvoDllCanUnloadNow calls it while anything holds the module.
typedef void (*UnloadHoldSweep)();
void SetUnloadHoldSweep(UnloadHoldSweep sweep);

// The count behind ZelvoDllCanUnloadNow. The window and timer procedures take a
// hold on it for their whole run and let it go through the system's
// InterlockedDecrement as the very last step, so that no instruction of the
// module runs once the host may free it.
extern "C" volatile LONG g_lrdUnloadBlockers;

// The thread's last error as an operation leaves it: the code given to Return
// when it is not 0, otherwise the caller's, whatever the system calls in between
// left, as Win32 functions do. Made first on the operation's stack, it sets the
// error last, after the call guard, which may complete a release whose system
// calls change it; it never touches the component, which may be gone by then.
class LastErrorOnReturn {
public:
    LastErrorOnReturn() : dwError(GetLastError()) {}
    ~LastErrorOnReturn() { SetLastError(dwError); }
    LastErrorOnReturn(const LastErrorOnReturn&) = delete;
    LastErrorOnReturn& operator=(const LastErrorOnReturn&) = delete;

    template <class T>
    T Return(T result, DWORD error)
    {
        if (error != 0)
            dwError = error;
        return result;
    }

private:
    DWORD dwError;
};

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

// Process attach and detach steps of the library. processEnding is non-zero when
// the detach comes from the end of the process rather than an unload.
void ModuleAttach(HMODULE module);
void ModuleDetach(int32_t processEnding);
// What the entry point of a library built on this module does: the attach and
// detach steps, for DllMain's reason and reserved argument.
void ModuleEntry(HMODULE module, DWORD reason, LPVOID reserved);

// Registers a creator during static initialisation of the module.
struct CreatorRegistration {
    CreatorRegistration(int32_t componentId, ComponentCreator creator) { RegisterCreator(componentId, creator); }
};
