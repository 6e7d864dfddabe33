/*
 * The host framework's factory library as LinkrateDetector.dll calls it: for a
 * host that brings its own "ZelFact.dll" instead of the shipped one. C++11 or
 * later, 32-bit Windows (MSVC or mingw-w64); the module includes this same header.
 *
 * The library exports CreateComponent (PFN_CreateComponent, __cdecl); (361, 0)
 * gives the component factory, which the module never releases. Only the
 * positions the module calls carry names; the others are placeholders that keep
 * every named operation in its slot, and the module never calls them. Results
 * are 32-bit integers, never bool: a caller reads the whole register.
 */
#ifndef ZELFACT_INTERFACES_H
#define ZELFACT_INTERFACES_H

#ifndef __cplusplus
#error "ZelFactInterfaces.h declares C++ interfaces (C++11 or later)"
#endif

#include <stdint.h>

#include "LinkrateDetector.h"

/* The log file that GetLogSettings hands out: two 32-bit words owned by the host,
 * valid until the process ends. */
struct HostLogFile {
    void* fileLock; /* CRITICAL_SECTION* of the log file, or null for no locking */
    void* logFile;  /* file HANDLE */
};

static_assert(sizeof(void*) != 4 || sizeof(HostLogFile) == 8, "two 32-bit words");

/* Component 361. Counting GetComponentID as the first operation: NewComponent is
 * the 6th, GetLogSettings the 7th, ModuleCanUnload the 11th, KeepsComponent the
 * 15th. */
struct IComponentFactory : IComponent {
    /* (3, path) must give the memory service, (361, path) the factory itself;
     * null when there is no such component. */
    virtual IComponent* LRD_THISCALL NewComponent(uint32_t componentId, const char* registryPath) = 0;
    /* Writes the two level masks (bit 1 Error, bit 2 Trace) for the debugger
     * output and the log file, and for a log file sets *logFile to its record.
     * moduleCell is a module-wide cell for the factory's own use. The result is
     * ignored. */
    virtual int32_t LRD_THISCALL GetLogSettings(int32_t* moduleCell, int32_t moduleId, uint32_t* debugMask,
                                                uint32_t* fileMask, HostLogFile** logFile) = 0;
    virtual int32_t LRD_THISCALL Reserved8() = 0;
    virtual int32_t LRD_THISCALL Reserved9() = 0;
    virtual int32_t LRD_THISCALL Reserved10() = 0;
    /* The module's last component is gone. The factory must not free the module
     * from inside this call. The result is ignored. */
    virtual int32_t LRD_THISCALL ModuleCanUnload(void* moduleHandle) = 0;
    virtual int32_t LRD_THISCALL Reserved12() = 0;
    virtual int32_t LRD_THISCALL Reserved13() = 0;
    virtual int32_t LRD_THISCALL Reserved14() = 0;
    /* Non-zero: the module leaves a component it got from NewComponent alive;
     * zero: it releases it when done. */
    virtual int32_t LRD_THISCALL KeepsComponent(IComponent* component) = 0;

protected:
    ~IComponentFactory() = default;
};

/* Component 3: Allocate is the 6th operation, Free the 7th. The module asks with
 * tag 39; every buffer it allocates goes back through Free. */
struct IMemoryService : IComponent {
    virtual void* LRD_THISCALL Allocate(uint32_t tag, uint32_t size) = 0;
    virtual int32_t LRD_THISCALL Free(void* buffer) = 0;

protected:
    ~IMemoryService() = default;
};

#endif
