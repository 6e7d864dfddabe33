// Host components as the module obtains them: the holders TZelvoPtr and
// TZelvoFactoryPtr, the buffers of the host memory service, and the component
// factory of an already loaded library for the log channel.
#pragma once

#include "HostInterfaces.h"
#include "HostSettings.h"

// The component factory of the library that path leads to; null, with its
// "[Zelvo_Error] " lines, when the library or its factory is missing.
IComponentFactory* LoadHostFactory(const char* path);
// Asks that factory for componentId with path, taken as it is (not replaced when
// empty), and marks the component for this module's own release. Stores the
// factory through factory, which stays null when there is none.
IComponent* AcquireHostComponent(const char* path, uint32_t componentId, IComponentFactory** factory);
// Releases component unless its factory keeps it; clears it when released.
void ReturnHostComponent(IComponentFactory* factory, IComponent*& component);

// Holds one host component for its own lifetime. A null or empty path stands for
// the module's registry path. Callers read component (and factory) directly.
template <class TComponent = IComponent>
class TZelvoPtr {
public:
    TZelvoPtr(const char* path, uint32_t componentId) : component(nullptr), factory(nullptr)
    {
        char registry[kPathBufferSize];
        if (path == nullptr || path[0] == '\0') {
            CopyRegistryPath(registry);
            path = registry;
        }
        component = static_cast<TComponent*>(AcquireHostComponent(path, componentId, &factory));
    }

    virtual ~TZelvoPtr()
    {
        IComponent* held = component;
        ReturnHostComponent(factory, held);
        component = static_cast<TComponent*>(held);
    }

    TZelvoPtr(const TZelvoPtr&) = delete;
    TZelvoPtr& operator=(const TZelvoPtr&) = delete;

    TComponent* component;
    IComponentFactory* factory;  // never released
};

// Holds the framework's factory component (id 361) for the module's registry
// path, as it stands, even when empty. Releases nothing.
class TZelvoFactoryPtr {
public:
    TZelvoFactoryPtr();
    virtual ~TZelvoFactoryPtr();
    TZelvoFactoryPtr(const TZelvoFactoryPtr&) = delete;
    TZelvoFactoryPtr& operator=(const TZelvoFactoryPtr&) = delete;

    IComponentFactory* component;
    IComponentFactory* factory;
};

// The memory service for path (null or empty: the module's registry path). It is
// obtained once per path and kept, never released. Returns 1 and stores it in
// out, or 0.
int32_t GetMemoryService(IMemoryService** out, const char* path);

// A buffer of size bytes from the host memory service, filled with zeros when
// zero is non-zero. Returns 1 and stores it in out; returns 0 and leaves out alone
// when there is no service, no buffer or no out.
int32_t AllocateBuffer(void** out, uint32_t size, int32_t zero, uint32_t tag);
// Gives buffer back to the memory service that gave it (a buffer AllocateBuffer
// did not give goes to the service for the module's registry path) and returns
// the service's result; 0 when there is no service.
int32_t FreeBuffer(void* buffer);

// The component factory of "ZelFact.dll" when that library is already loaded in
// the process; it is never loaded here. Null otherwise.
IComponentFactory* FindLoadedFactory();
