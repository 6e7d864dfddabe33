// The test build of the module: the module's own sources plus test components
// whose lifetime the tests can watch and steer.
#pragma once

#include "LinkrateDetector.h"

enum : int32_t {
    kTestComponentId = 100,     // a CTestComponent, version 7
    kNullCreatorId = 101,       // its creator returns null
    kThrowingCreatorId = 102,   // its creator throws
    kFactoryLikeId = 361,       // a CTestComponent that carries the framework factory's id
};

struct TestCounters {
    int32_t preDestroyCalls;
    int32_t destructions;
};

typedef void (*TestCallback)(void* context);

struct ITestComponent : IComponent {
    // A guarded operation that calls back into the test while it is in progress.
    virtual int32_t LRD_THISCALL Call(TestCallback callback, void* context) = 0;
    virtual void LRD_THISCALL SetNoReleaseMark(int32_t value) = 0;
    virtual int32_t LRD_THISCALL BusyCount() = 0;
    virtual void LRD_THISCALL CopyDLLRegistry(const char* registry, char* buffer, int32_t bufferSize) = 0;
    // A callback that PreDestroy makes (null: none).
    virtual void LRD_THISCALL SetPreDestroyCallback(TestCallback callback, void* context) = 0;
};

typedef TestCounters*(LRD_CDECL* PFN_GetTestCounters)(void);
typedef void(LRD_CDECL* PFN_RemoveComponent)(IComponent* component, int32_t notifyFactory);
// The module's detach step, as at a process end (processEnding 1) or an unload (0).
typedef void(LRD_CDECL* PFN_ModuleDetach)(int32_t processEnding);
