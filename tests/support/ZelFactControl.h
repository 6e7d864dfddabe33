// Controls of the test double of the framework's factory library "ZelFact.dll".
// Load the library (LoadLibraryA("ZelFact.dll")) and resolve these exports by
// name; all use the C calling convention.
#pragma once

#include <stdint.h>

#include "LinkrateDetector.h"

// What the library saw since the last ZelFactReset.
struct ZelFactCounters {
    int32_t allocations;             // Allocate calls that gave a buffer
    int32_t frees;                   // Free calls that freed a buffer
    int32_t moduleCanUnloadCalls;
    void* lastUnloadModule;          // handle given to the last ModuleCanUnload
    int32_t getLogSettingsCalls;
    int32_t failedAllocations;       // Allocate calls failed on purpose
    uint32_t lastAllocateTag;
    uint32_t lastAllocateSize;
    int32_t exportCalls;             // calls of the exported CreateComponent
    int32_t memoryServiceRequests;   // NewComponent(3, ...)
    int32_t factoryRequests;         // NewComponent(361, ...)
    int32_t otherRequests;           // NewComponent for any other id
    uint32_t lastRequestedId;
    char lastRequestPath[260];       // registry path of the last NewComponent ("" for null)
    int32_t keepsComponentCalls;
    int32_t memoryServiceReleases;   // Release calls on the memory service
    int32_t factoryReleases;         // Release calls on the factory
    int32_t otherReleases;           // other components released (and destroyed)
    int32_t otherAlive;              // other components handed out and not yet released
    int32_t autoReleaseCalls;        // SetAutoRelease on any component
    int32_t lastAutoRelease;         // its last value
    int32_t lastLogModuleId;         // moduleId of the last GetLogSettings
    void* lastLogModuleCell;         // moduleCell of the last GetLogSettings
    int32_t strayFrees;              // Free of a buffer that service did not give (not freed)
    int32_t unwatchedPaths;          // NewComponent with a path outside the watched ones
};

// Counters to zero and everything to its default: masks 0, no log file record,
// no failing allocations, KeepsComponent answers 0, the export gives the factory,
// NewComponent gives components 3 and 361 only, their auto-release flags 0.
typedef void(LRD_CDECL* PFN_ZelFactReset)(void);
typedef ZelFactCounters*(LRD_CDECL* PFN_ZelFactGetCounters)(void);
// What GetLogSettings hands out. With giveRecord 0 the module gets no log file;
// otherwise the record {fileLockCriticalSection, logFileHandle}.
typedef void(LRD_CDECL* PFN_ZelFactSetLogSettings)(uint32_t debugMask, uint32_t fileMask, void* logFileHandle,
                                                    void* fileLockCriticalSection, int32_t giveRecord);
// 0: allocations never fail; n: every n-th allocation fails (counted from the reset).
typedef void(LRD_CDECL* PFN_ZelFactFailAllocations)(int32_t nth);
// NewComponent(3, path) for exactly this path gives a second memory service of
// its own (null: none does). Each service frees only the buffers it gave.
typedef void(LRD_CDECL* PFN_ZelFactSetSecondServicePath)(const char* path);
// Adds a registry path to the watched ones (null clears them). While any is
// watched, NewComponent with another path counts in unwatchedPaths.
typedef void(LRD_CDECL* PFN_ZelFactWatchPath)(const char* path);
// ModuleCanUnload sets the event entered and waits for the event resume (at most
// two minutes) before it returns; null events: it returns at once.
typedef void(LRD_CDECL* PFN_ZelFactHoldModuleCanUnload)(void* entered, void* resume);
// The answer of KeepsComponent, for every component.
typedef void(LRD_CDECL* PFN_ZelFactSetKeepsComponent)(int32_t answer);
// 0: the exported CreateComponent returns null.
typedef void(LRD_CDECL* PFN_ZelFactSetExportGivesFactory)(int32_t give);
// Whether NewComponent gives a component for componentId (0: null). Other ids than
// 3 and 361 get a new component of that id, destroyed by its Release.
typedef void(LRD_CDECL* PFN_ZelFactSetNewComponentResult)(uint32_t componentId, int32_t give);
