// The test double of "ZelFact.dll": the framework core with every call counted,
// and exports through which a test sets what the factory answers.
#include <string.h>

#include <set>

#include "FactoryCore.h"
#include "ZelFactControl.h"

namespace {

struct Configuration {
    int32_t failNth;
    int32_t keepsComponent;
    int32_t exportGivesFactory;
    int32_t memoryServiceGiven;
    int32_t factoryGiven;
    enum { kMaxOffered = 16 };
    uint32_t offered[kMaxOffered];  // other ids NewComponent gives
    int32_t offeredCount;
    int32_t hasSecondService;
    char secondServicePath[260];    // the path NewComponent(3, ...) gives the second service for
    enum { kMaxWatched = 16 };
    char watched[kMaxWatched][260];
    int32_t watchedCount;
    HANDLE unloadEntered;           // set by ModuleCanUnload, which then waits for unloadResume
    HANDLE unloadResume;
};

const Configuration kDefaults = {0, 0, 1, 1, 1, {}, 0, 0, {}, {}, 0, nullptr, nullptr};
// Long enough for any test to look around while the notice is held; a test that
// never lets it go still ends.
const DWORD kUnloadHoldLimitMs = 120000;

// Modules may call from several threads at once; every count and the
// configuration are read and written under this lock.
SRWLOCK g_lock = SRWLOCK_INIT;
ZelFactCounters g_counters;
Configuration g_config = kDefaults;
int32_t g_allocationAttempts;

class Locked {
public:
    Locked() { AcquireSRWLockExclusive(&g_lock); }
    ~Locked() { ReleaseSRWLockExclusive(&g_lock); }
};

void CountAutoRelease(int32_t value)
{
    Locked lock;
    ++g_counters.autoReleaseCalls;
    g_counters.lastAutoRelease = value;
}

class COtherComponent final : public IComponent {
public:
    explicit COtherComponent(uint32_t componentId) : m_componentId(componentId) {}
    int32_t LRD_THISCALL GetComponentID() override { return (int32_t)m_componentId; }
    int32_t LRD_THISCALL GetVersion() override { return 1; }
    void LRD_THISCALL Release(int32_t) override
    {
        {
            Locked lock;
            ++g_counters.otherReleases;
            --g_counters.otherAlive;
        }
        delete this;
    }
    int32_t LRD_THISCALL GetAutoRelease() override { return m_autoRelease; }
    void LRD_THISCALL SetAutoRelease(int32_t value) override
    {
        m_autoRelease = value;
        CountAutoRelease(value);
    }

private:
    uint32_t m_componentId;
    int32_t m_autoRelease = 0;
};

// A service frees only what it gave: a buffer of another service goes back
// nowhere, as it would with a heap of its own.
class CCountingMemoryService : public CHeapMemoryService {
public:
    void LRD_THISCALL Release(int32_t) override
    {
        Locked lock;
        ++g_counters.memoryServiceReleases;
    }
    void LRD_THISCALL SetAutoRelease(int32_t value) override
    {
        CHeapMemoryService::SetAutoRelease(value);
        CountAutoRelease(value);
    }
    void* LRD_THISCALL Allocate(uint32_t tag, uint32_t size) override
    {
        {
            Locked lock;
            g_counters.lastAllocateTag = tag;
            g_counters.lastAllocateSize = size;
            ++g_allocationAttempts;
            if (g_config.failNth > 0 && g_allocationAttempts % g_config.failNth == 0) {
                ++g_counters.failedAllocations;
                return nullptr;
            }
        }
        void* buffer = CHeapMemoryService::Allocate(tag, size);
        if (buffer != nullptr) {
            // Not zero: a test sees whether the module cleared the buffer.
            memset(buffer, 0xCD, size);
            Locked lock;
            ++g_counters.allocations;
            m_given.insert(buffer);
        }
        return buffer;
    }
    int32_t LRD_THISCALL Free(void* buffer) override
    {
        if (buffer != nullptr) {
            Locked lock;
            if (m_given.erase(buffer) == 0) {
                ++g_counters.strayFrees;
                return 0;
            }
        }
        int32_t result = CHeapMemoryService::Free(buffer);
        if (result != 0) {
            Locked lock;
            ++g_counters.frees;
        }
        return result;
    }

private:
    std::set<void*> m_given;
};

CCountingMemoryService g_secondMemory;

bool Watched(const char* path)
{
    if (g_config.watchedCount == 0)
        return true;
    for (int32_t i = 0; i < g_config.watchedCount; ++i)
        if (strcmp(g_config.watched[i], path) == 0)
            return true;
    return false;
}

class CCountingFactory : public CHostFactory {
public:
    using CHostFactory::CHostFactory;

    void LRD_THISCALL Release(int32_t) override
    {
        Locked lock;
        ++g_counters.factoryReleases;
    }
    void LRD_THISCALL SetAutoRelease(int32_t value) override
    {
        CHostFactory::SetAutoRelease(value);
        CountAutoRelease(value);
    }
    IComponent* LRD_THISCALL NewComponent(uint32_t componentId, const char* registryPath) override
    {
        {
            Locked lock;
            g_counters.lastRequestedId = componentId;
            g_counters.lastRequestPath[0] = '\0';
            if (registryPath != nullptr)
                strncat(g_counters.lastRequestPath, registryPath, sizeof g_counters.lastRequestPath - 1);
            if (!Watched(registryPath != nullptr ? registryPath : ""))
                ++g_counters.unwatchedPaths;
            if (componentId == LRD_MEMORY_SERVICE_ID) {
                ++g_counters.memoryServiceRequests;
                if (!g_config.memoryServiceGiven)
                    return nullptr;
                if (g_config.hasSecondService && registryPath != nullptr &&
                    strcmp(registryPath, g_config.secondServicePath) == 0)
                    return &g_secondMemory;
            } else if (componentId == LRD_COMPONENT_FACTORY_ID) {
                ++g_counters.factoryRequests;
                if (!g_config.factoryGiven)
                    return nullptr;
            } else {
                ++g_counters.otherRequests;
            }
        }
        return CHostFactory::NewComponent(componentId, registryPath);
    }
    int32_t LRD_THISCALL GetLogSettings(int32_t* moduleCell, int32_t moduleId, uint32_t* debugMask,
                                        uint32_t* fileMask, HostLogFile** logFile) override
    {
        Locked lock;
        ++g_counters.getLogSettingsCalls;
        g_counters.lastLogModuleId = moduleId;
        g_counters.lastLogModuleCell = moduleCell;
        return CHostFactory::GetLogSettings(moduleCell, moduleId, debugMask, fileMask, logFile);
    }
    int32_t LRD_THISCALL ModuleCanUnload(void* moduleHandle) override
    {
        HANDLE entered = nullptr;
        HANDLE resume = nullptr;
        {
            Locked lock;
            ++g_counters.moduleCanUnloadCalls;
            g_counters.lastUnloadModule = moduleHandle;
            entered = g_config.unloadEntered;
            resume = g_config.unloadResume;
        }
        // Held outside the lock, so that the test reads the counters meanwhile.
        if (entered != nullptr) {
            SetEvent(entered);
            WaitForSingleObject(resume, kUnloadHoldLimitMs);
        }
        return 1;
    }
    int32_t LRD_THISCALL KeepsComponent(IComponent*) override
    {
        Locked lock;
        ++g_counters.keepsComponentCalls;
        return g_config.keepsComponent;
    }

protected:
    IComponent* NewOtherComponent(uint32_t componentId, const char*) override
    {
        Locked lock;
        for (int32_t i = 0; i < g_config.offeredCount; ++i) {
            if (g_config.offered[i] == componentId) {
                ++g_counters.otherAlive;
                return new COtherComponent(componentId);
            }
        }
        return nullptr;
    }
};

CCountingMemoryService g_memory;
CCountingFactory g_factory(g_memory);

void SetOffered(uint32_t componentId, int32_t give)
{
    Configuration& c = g_config;
    int32_t kept = 0;
    for (int32_t i = 0; i < c.offeredCount; ++i)
        if (c.offered[i] != componentId)
            c.offered[kept++] = c.offered[i];
    c.offeredCount = kept;
    if (give && c.offeredCount < Configuration::kMaxOffered)
        c.offered[c.offeredCount++] = componentId;
}

}  // namespace

extern "C" {

IComponent* __cdecl CreateComponent(int32_t componentId, uint32_t)
{
    {
        Locked lock;
        ++g_counters.exportCalls;
        if (!g_config.exportGivesFactory)
            return nullptr;
    }
    return g_factory.ExportedComponent(componentId);
}

void __cdecl ZelFactReset()
{
    Locked lock;
    g_counters = ZelFactCounters{};
    g_config = kDefaults;
    g_allocationAttempts = 0;
    g_factory.SetLogSettings(LogSettings{});
    // The shared components' flags, without counting the change.
    g_factory.CHostFactory::SetAutoRelease(0);
    g_memory.CHeapMemoryService::SetAutoRelease(0);
    g_secondMemory.CHeapMemoryService::SetAutoRelease(0);
}

ZelFactCounters* __cdecl ZelFactGetCounters() { return &g_counters; }

void __cdecl ZelFactSetLogSettings(uint32_t debugMask, uint32_t fileMask, void* logFileHandle,
                                   void* fileLockCriticalSection, int32_t giveRecord)
{
    Locked lock;
    g_factory.SetLogSettings(LogSettings{debugMask, fileMask, {fileLockCriticalSection, logFileHandle}, giveRecord});
}

void __cdecl ZelFactFailAllocations(int32_t nth)
{
    Locked lock;
    g_config.failNth = nth;
    g_allocationAttempts = 0;
}

void __cdecl ZelFactSetKeepsComponent(int32_t answer)
{
    Locked lock;
    g_config.keepsComponent = answer;
}

void __cdecl ZelFactSetExportGivesFactory(int32_t give)
{
    Locked lock;
    g_config.exportGivesFactory = give;
}

void __cdecl ZelFactSetSecondServicePath(const char* path)
{
    Locked lock;
    g_config.hasSecondService = path != nullptr ? 1 : 0;
    g_config.secondServicePath[0] = '\0';
    if (path != nullptr)
        strncat(g_config.secondServicePath, path, sizeof g_config.secondServicePath - 1);
}

void __cdecl ZelFactWatchPath(const char* path)
{
    Locked lock;
    if (path == nullptr) {
        g_config.watchedCount = 0;
        return;
    }
    if (g_config.watchedCount < Configuration::kMaxWatched) {
        char* slot = g_config.watched[g_config.watchedCount++];
        slot[0] = '\0';
        strncat(slot, path, sizeof g_config.watched[0] - 1);
    }
}

void __cdecl ZelFactHoldModuleCanUnload(void* entered, void* resume)
{
    Locked lock;
    g_config.unloadEntered = entered;
    g_config.unloadResume = resume;
}

void __cdecl ZelFactSetNewComponentResult(uint32_t componentId, int32_t give)
{
    Locked lock;
    if (componentId == LRD_MEMORY_SERVICE_ID)
        g_config.memoryServiceGiven = give;
    else if (componentId == LRD_COMPONENT_FACTORY_ID)
        g_config.factoryGiven = give;
    else
        SetOffered(componentId, give);
}

}  // extern "C"
