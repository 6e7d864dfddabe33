// The host framework's interfaces as the module calls them. Only the positions
// the module uses carry names; the others are placeholders that keep every named
// operation in its slot. Results are 32-bit integers, never bool: a host reads the
// whole register.
#pragma once

#include <stdint.h>

#include "LinkrateDetector.h"

// The log file that GetLogSettings hands out: two 32-bit words owned by the host.
struct HostLogFile {
    void* fileLock;  // CRITICAL_SECTION* of the log file, or null for no locking
    void* logFile;   // file HANDLE
};

static_assert(sizeof(void*) != 4 || sizeof(HostLogFile) == 8, "two 32-bit words");

// Component 361. Counting GetComponentID as the first operation: NewComponent is
// the 6th, GetLogSettings the 7th, ModuleCanUnload the 11th, KeepsComponent the 15th.
struct IComponentFactory : IComponent {
    virtual IComponent* LRD_THISCALL NewComponent(uint32_t componentId, const char* registryPath) = 0;
    virtual int32_t LRD_THISCALL GetLogSettings(int32_t* moduleCell, int32_t moduleId, uint32_t* debugMask,
                                                uint32_t* fileMask, HostLogFile** logFile) = 0;
    virtual int32_t LRD_THISCALL Reserved8() = 0;
    virtual int32_t LRD_THISCALL Reserved9() = 0;
    virtual int32_t LRD_THISCALL Reserved10() = 0;
    virtual int32_t LRD_THISCALL ModuleCanUnload(void* moduleHandle) = 0;
    virtual int32_t LRD_THISCALL Reserved12() = 0;
    virtual int32_t LRD_THISCALL Reserved13() = 0;
    virtual int32_t LRD_THISCALL Reserved14() = 0;
    virtual int32_t LRD_THISCALL KeepsComponent(IComponent* component) = 0;
};

// Component 3: Allocate is the 6th operation, Free the 7th.
struct IMemoryService : IComponent {
    virtual void* LRD_THISCALL Allocate(uint32_t tag, uint32_t size) = 0;
    virtual int32_t LRD_THISCALL Free(void* buffer) = 0;
};
