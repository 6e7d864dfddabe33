#include "ModuleState.h"

#include <atomic>
#include <map>

#include "HostSettings.h"
#include "RuntimeReserve.h"
#include "UnloadNotice.h"

namespace {

struct CreatorEntry {
    int32_t componentId;
    ComponentCreator creator;
};

struct RegistryRecord {
    int32_t componentId;
    uint32_t creatorId;
    IComponent* component;
};

// Keys are component addresses compared as unsigned numbers: the registry's
// order is the order of the leak report and of ZelvoDllFreeMap.
typedef std::map<uintptr_t, RegistryRecord> Registry;

enum { kCreatorTableSize = 512 };

// Plain data, zero before any constructor of the module runs, so a creator can
// register itself from any translation unit's static initialisation.
CRITICAL_SECTION g_moduleLock;
int32_t g_lockCreated;
volatile int32_t g_safeFlag;
HMODULE g_moduleHandle;
CreatorEntry g_creators[kCreatorTableSize];
uint32_t g_creatorCount;

// Created in this order at load and destroyed in the reverse order at unload,
// after the detach step has written the leak report.
Registry g_registry;
std::map<uint32_t, ComponentCreator> g_creatorCache;
// The thread in ZelvoDllFreeMap, which holds the module lock while it releases
// components: the unload notice of those releases waits until it lets go.
std::atomic<DWORD> g_freeMapThread{0};
bool g_freeMapNoticeDue;  // under the module lock

void CreateModuleLock()
{
    if (g_lockCreated)
        return;
    InitializeCriticalSection(&g_moduleLock);
    g_lockCreated = 1;
    g_safeFlag = 1;
}

void PrintComponentLine(int32_t componentId, uint32_t creatorId)
{
    DebugPrint("Zelvo[Error]: ComponentID=%d CreatorID=%u", componentId, creatorId);
}

UnloadHoldSweep g_holdSweep;

}  // namespace

// What keeps the module from being unloaded, for ZelvoDllCanUnloadNow, which
// takes no lock: one for every registry record, one for every removal until its
// component is destroyed and its unload notice has returned, one for every
// ZelvoDllFreeMap in progress and one for every unload hold. One counter, so
// that a record passing to its removal never lets it read zero in between.
volatile LONG g_lrdUnloadBlockers;

void LockModule()
{
    if (!g_lockCreated)
        CreateModuleLock();
    EnterCriticalSection(&g_moduleLock);
}

void UnlockModule() { LeaveCriticalSection(&g_moduleLock); }

void DebugPrint(const char* format, ...)
{
    char line[1024] = {0};
    va_list args;
    va_start(args, format);
    FormatBounded(line, sizeof line - 1, format, args);
    va_end(args);
    OutputDebugStringA(line);
}

int32_t ModuleSafeFlag() { return g_safeFlag; }
HMODULE ModuleHandle() { return g_moduleHandle; }

void RegisterCreator(int32_t componentId, ComponentCreator creator)
{
    ModuleLockGuard lock;
    if (g_creatorCount >= kCreatorTableSize || componentId == 0 || creator == nullptr)
        return;
    g_creators[g_creatorCount].componentId = componentId;
    g_creators[g_creatorCount].creator = creator;
    ++g_creatorCount;
}

ComponentCreator FindCreator(int32_t componentId)
{
    ModuleLockGuard lock;
    auto cached = g_creatorCache.find((uint32_t)componentId);
    if (cached != g_creatorCache.end() && cached->second != nullptr)
        return cached->second;
    ComponentCreator found = nullptr;
    for (uint32_t i = 0; i < g_creatorCount; ++i) {
        if (g_creators[i].componentId == componentId) {
            found = g_creators[i].creator;
            break;
        }
    }
    try {
        g_creatorCache[(uint32_t)componentId] = found;
    } catch (...) {
        // The cache only saves a scan; without memory for it the scan's answer stands.
    }
    return found;
}

ComponentRemoval::ComponentRemoval(IComponent* component, int32_t notifyFactory)
{
    ModuleLockGuard lock;
    InterlockedIncrement(&g_lrdUnloadBlockers);
    auto it = g_registry.find((uintptr_t)component);
    if (it == g_registry.end()) {
        DebugPrint("Zelvo[Error]: To remove a component not exist\n");
        DebugPrint("Zelvo[Error]: IComponent* = 0x%p\n", (void*)component);
    } else {
        g_registry.erase(it);
        InterlockedDecrement(&g_lrdUnloadBlockers);
    }
    bNoticeDue = g_registry.empty() && notifyFactory != 0;
}

ComponentRemoval::~ComponentRemoval()
{
    if (bNoticeDue) {
        if (g_freeMapThread.load() == GetCurrentThreadId()) {
            ModuleLockGuard lock;
            g_freeMapNoticeDue = true;
        } else {
            SendUnloadNotice(ModuleHandle());
        }
    }
    InterlockedDecrement(&g_lrdUnloadBlockers);
}

void HoldModuleUnload() { InterlockedIncrement(&g_lrdUnloadBlockers); }

void EndModuleUnloadHold() { InterlockedDecrement(&g_lrdUnloadBlockers); }

void SetUnloadHoldSweep(UnloadHoldSweep sweep) { g_holdSweep = sweep; }

void ReportLeaks()
{
    ModuleLockGuard lock;
    if (g_registry.empty())
        return;
    static const char kRule[] = "Zelvo[Error]:=================================================================\n";
    DebugPrint("%s", kRule);
    DebugPrint("Zelvo[Error]:Found leak Zelvo components. Count:%d\n", (int32_t)g_registry.size());
    for (const auto& entry : g_registry) {
        const RegistryRecord& record = entry.second;
        DebugPrint("Zelvo[Error]:ComponentID:0x%08x CreatorID:0x%08x Pointer:0x%08x\n", (uint32_t)record.componentId,
                   record.creatorId, (uint32_t)(uintptr_t)record.component);
    }
    DebugPrint("%s", kRule);
}

void ModuleAttach(HMODULE module)
{
    g_moduleHandle = module;
    CreateModuleLock();
}

void ModuleEntry(HMODULE module, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
        ModuleAttach(module);
    else if (reason == DLL_PROCESS_DETACH)
        ModuleDetach(reserved != nullptr ? 1 : 0);
}

void ModuleDetach(int32_t processEnding)
{
    if (!g_lockCreated)
        return;
    if (processEnding) {
        // Every other thread has been stopped wherever it was, perhaps holding the
        // module lock: never wait for it. The report is written when the lock is
        // free; the lock itself ends with the process.
        if (TryEnterCriticalSection(&g_moduleLock)) {
            ReportLeaks();
            LeaveCriticalSection(&g_moduleLock);
        }
        return;
    }
    ReportLeaks();
    DeleteCriticalSection(&g_moduleLock);
    g_lockCreated = 0;
    FreeRuntimeReserve();
}

extern "C" {

IComponent* __cdecl CreateComponent(int32_t componentId, uint32_t creatorId)
{
    LastErrorOnReturn lastError;
    ComponentCreator creator = FindCreator(componentId);
    if (creator == nullptr) {
        DebugPrint("Zelvo[Error]: Can't find the factory method of Component\n");
        PrintComponentLine(componentId, creatorId);
        return lastError.Return<IComponent*>(nullptr, ERROR_NOT_FOUND);
    }
    // The registry node is made before the creator runs, so that once a component
    // exists its registration cannot fail for want of memory.
    Registry node;
    try {
        node.emplace(0, RegistryRecord{});
    } catch (...) {
        DebugPrint("Zelvo[Error]: No memory to register a component\n");
        PrintComponentLine(componentId, creatorId);
        return lastError.Return<IComponent*>(nullptr, ERROR_NOT_ENOUGH_MEMORY);
    }
    IComponent* component = nullptr;
    try {
        component = creator();
    } catch (...) {
        component = nullptr;
    }
    if (component == nullptr) {
        DebugPrint("Zelvo[Error]:CreateComponent method return NULL.\n");
        PrintComponentLine(componentId, creatorId);
        // The module's creators give nothing only for want of memory.
        return lastError.Return<IComponent*>(nullptr, ERROR_NOT_ENOUGH_MEMORY);
    }
    ModuleLockGuard lock;
    Registry::node_type handle = node.extract(node.begin());
    handle.key() = (uintptr_t)component;
    handle.mapped() = RegistryRecord{componentId, creatorId, component};
    auto inserted = g_registry.insert(std::move(handle));
    // A record already at this address cannot be a live component's: that one was
    // destroyed without a removal, and its stale record gives way.
    if (inserted.inserted)
        InterlockedIncrement(&g_lrdUnloadBlockers);
    else
        inserted.position->second = inserted.node.mapped();
    return component;
}

int32_t __cdecl SetDLLRegistry(const char* path)
{
    StoreRegistryPath(path);
    return 0;
}

void __cdecl ZelvoDllFreeMap()
{
    InterlockedIncrement(&g_lrdUnloadBlockers);
    bool noticeDue = false;
    {
        ModuleLockGuard lock;
        DWORD outer = g_freeMapThread.exchange(GetCurrentThreadId());
        auto it = g_registry.begin();
        while (it != g_registry.end()) {
            uintptr_t key = it->first;
            IComponent* component = it->second.component;
            if (component->GetAutoRelease())
                component->Release(0);
            // A release that went through removed the entry and invalidated the
            // iterator: start again from the first entry. Every restart follows a removal.
            it = g_registry.find(key);
            it = (it == g_registry.end()) ? g_registry.begin() : std::next(it);
        }
        g_freeMapThread = outer;
        if (outer == 0) {
            noticeDue = g_freeMapNoticeDue;
            g_freeMapNoticeDue = false;
        }
    }
    if (noticeDue)
        SendUnloadNotice(ModuleHandle());
    InterlockedDecrement(&g_lrdUnloadBlockers);
}

int32_t __cdecl ZelvoDllCanUnloadNow()
{
    if (g_lrdUnloadBlockers != 0 && g_holdSweep != nullptr)
        g_holdSweep();
    return g_lrdUnloadBlockers == 0 ? 1 : 0;
}

void* __cdecl SetFactoryHandle(void* factoryModule)
{
    StoreInjectedFactoryHandle((HMODULE)factoryModule);
    return factoryModule;
}

int32_t __cdecl ZelvoSetDllSafe(int32_t value)
{
    g_safeFlag = value;
    return value;
}

int32_t __cdecl GetComponentIDs(int32_t* ids, int32_t count)
{
    ModuleLockGuard lock;
    if (count > 0 && ids != nullptr) {
        for (uint32_t i = 0; i < g_creatorCount && i < (uint32_t)count; ++i)
            ids[i] = g_creators[i].componentId;
    }
    return (int32_t)g_creatorCount;
}

}  // extern "C"
