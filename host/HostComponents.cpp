#include "HostComponents.h"

#include <string.h>

#include <map>
#include <new>
#include <string>

#include "FactoryLocator.h"

namespace {

// The memory service kept for each registry path the module was used with, and
// every buffer given out with the service that gave it. A host that switches
// between paths finds each path's service kept, and a buffer goes back to its own
// service whatever the path is by then. g_serviceLock guards both and is held
// only to look up or store: never while the host is called and never while the
// module lock is taken, so the module lock stays outermost.
SRWLOCK g_serviceLock = SRWLOCK_INIT;
std::map<std::string, IMemoryService*, std::less<>> g_services;
std::map<void*, IMemoryService*> g_bufferOwners;

IMemoryService* KeptService(const char* path)
{
    AcquireSRWLockShared(&g_serviceLock);
    auto found = g_services.find(path);
    IMemoryService* service = found != g_services.end() ? found->second : nullptr;
    ReleaseSRWLockShared(&g_serviceLock);
    return service;
}

// Keeps service for path, or gives back the one kept meanwhile by another thread.
// Null, with nothing kept, when there is no memory to keep it. stored tells
// whether this acquisition is the one kept: a host may hand out the same object
// for two requests, each of which is an acquisition of its own.
IMemoryService* KeepService(const char* path, IMemoryService* service, bool& stored)
{
    AcquireSRWLockExclusive(&g_serviceLock);
    IMemoryService* kept = nullptr;
    stored = false;
    try {
        auto placed = g_services.emplace(path, service);
        kept = placed.first->second;
        stored = placed.second;
    } catch (const std::bad_alloc&) {
        kept = nullptr;
    }
    ReleaseSRWLockExclusive(&g_serviceLock);
    return kept;
}

bool RememberOwner(void* buffer, IMemoryService* service)
{
    AcquireSRWLockExclusive(&g_serviceLock);
    bool remembered = true;
    try {
        g_bufferOwners[buffer] = service;
    } catch (const std::bad_alloc&) {
        remembered = false;
    }
    ReleaseSRWLockExclusive(&g_serviceLock);
    return remembered;
}

// The service that gave buffer, forgotten from now on; null for a buffer that
// did not come from AllocateBuffer.
IMemoryService* TakeOwner(void* buffer)
{
    AcquireSRWLockExclusive(&g_serviceLock);
    IMemoryService* owner = nullptr;
    auto found = g_bufferOwners.find(buffer);
    if (found != g_bufferOwners.end()) {
        owner = found->second;
        g_bufferOwners.erase(found);
    }
    ReleaseSRWLockExclusive(&g_serviceLock);
    return owner;
}

}  // namespace

IComponentFactory* LoadHostFactory(const char* path)
{
    HMODULE library = LoadFactoryLibrary(path);
    if (library == nullptr) {
        ReportError("[Zelvo_Error] Load ZelFact.dll Fail.\n");
        return nullptr;
    }
    IComponent* factory = CreateLibraryComponent(library, LRD_COMPONENT_FACTORY_ID);
    if (factory == nullptr)
        ReportError("[Zelvo_Error] Create ComponentFactory in ZelFact.dll Fail\n");
    return static_cast<IComponentFactory*>(factory);
}

IComponent* AcquireHostComponent(const char* path, uint32_t componentId, IComponentFactory** factory)
{
    if (componentId == 0)
        ReportError("[Zelvo_Error] TZelvoPtr with ComponentId = 0\n");
    *factory = LoadHostFactory(path);
    if (*factory == nullptr)
        return nullptr;
    IComponent* component = (*factory)->NewComponent(componentId, path);
    // Not auto-release: the module's ZelvoDllFreeMap must leave it to its holder.
    if (component != nullptr)
        component->SetAutoRelease(0);
    return component;
}

void ReturnHostComponent(IComponentFactory* factory, IComponent*& component)
{
    if (component == nullptr || factory->KeepsComponent(component) != 0)
        return;
    component->Release(0);
    component = nullptr;
}

TZelvoFactoryPtr::TZelvoFactoryPtr() : component(nullptr), factory(nullptr)
{
    char registry[kPathBufferSize];
    CopyRegistryPath(registry);
    factory = LoadHostFactory(registry);
    if (factory == nullptr)
        return;
    component = static_cast<IComponentFactory*>(factory->NewComponent(LRD_COMPONENT_FACTORY_ID, registry));
    if (component != nullptr)
        component->SetAutoRelease(1);
}

TZelvoFactoryPtr::~TZelvoFactoryPtr() {}

int32_t GetMemoryService(IMemoryService** out, const char* path)
{
    if (out == nullptr)
        return 0;
    // The path is fixed once, before any lock of ours: reading the registry path
    // takes the module lock.
    char key[kPathBufferSize] = {0};
    if (path == nullptr || path[0] == '\0')
        CopyRegistryPath(key);
    else if (!CopyIfFits(key, sizeof key, path))
        return 0;  // longer than any configuration path can be

    IMemoryService* service = KeptService(key);
    if (service != nullptr) {
        *out = service;
        return 1;
    }

    // Obtained without the lock held. When another thread kept a service for the
    // same path meanwhile, that one is used and this one goes back to the host;
    // one that cannot be kept goes back too.
    IComponentFactory* factory = nullptr;
    IComponent* obtained = AcquireHostComponent(key, LRD_MEMORY_SERVICE_ID, &factory);
    if (obtained == nullptr)
        return 0;
    bool stored = false;
    service = KeepService(key, static_cast<IMemoryService*>(obtained), stored);
    if (!stored)
        ReturnHostComponent(factory, obtained);
    if (service == nullptr)
        return 0;
    *out = service;
    return 1;
}

int32_t AllocateBuffer(void** out, uint32_t size, int32_t zero, uint32_t tag)
{
    if (out == nullptr)
        return 0;
    IMemoryService* service = nullptr;
    if (!GetMemoryService(&service, nullptr))
        return 0;
    void* buffer = service->Allocate(tag, size);
    if (buffer == nullptr)
        return 0;
    if (!RememberOwner(buffer, service)) {
        // Without the record the buffer could not find its way back.
        service->Free(buffer);
        return 0;
    }
    if (zero != 0)
        memset(buffer, 0, size);
    *out = buffer;
    return 1;
}

int32_t FreeBuffer(void* buffer)
{
    IMemoryService* service = TakeOwner(buffer);
    if (service == nullptr && !GetMemoryService(&service, nullptr))
        return 0;
    return service->Free(buffer);
}

IComponentFactory* FindLoadedFactory()
{
    HMODULE library = GetModuleHandleA("ZelFact.dll");
    if (library == nullptr)
        return nullptr;
    auto create = reinterpret_cast<PFN_CreateComponent>(
        reinterpret_cast<void*>(GetProcAddress(library, "CreateComponent")));
    if (create == nullptr) {
        OutputDebugStringA("Can't find CreateComponent() in ZelFact.dll or ZelFact.dll is missed\n");
        return nullptr;
    }
    IComponent* factory = create((int32_t)LRD_COMPONENT_FACTORY_ID, 0);
    if (factory == nullptr)
        OutputDebugStringA("Invoke CreateComponent() in ZelFact.dll return null.\n");
    return static_cast<IComponentFactory*>(factory);
}
