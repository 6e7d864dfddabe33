#include "TestModule.h"

#include <new>

#include "ComponentBase.h"

namespace {

TestCounters g_counters;

class CTestComponent : public CComponentBase<ITestComponent, kTestComponentId, 7> {
public:
    ~CTestComponent() override { ++g_counters.destructions; }

    int32_t LRD_THISCALL Call(TestCallback callback, void* context) override
    {
        auto guard = EnterCall();
        if (callback != nullptr)
            callback(context);
        return 1;
    }
    void LRD_THISCALL SetNoReleaseMark(int32_t value) override { bNoRelease = value; }
    int32_t LRD_THISCALL BusyCount() override { return nBusyCount; }
    void LRD_THISCALL CopyDLLRegistry(const char* registry, char* buffer, int32_t bufferSize) override
    {
        GetDLLRegistry(registry, buffer, bufferSize);
    }
    void PreDestroy() override { ++g_counters.preDestroyCalls; }
};

IComponent* CreateTestComponent() { return new (std::nothrow) CTestComponent(); }
IComponent* CreateNothing() { return nullptr; }
IComponent* CreateThrowing() { throw std::bad_alloc(); }

CreatorRegistration g_registerTest(kTestComponentId, CreateTestComponent);
CreatorRegistration g_registerNull(kNullCreatorId, CreateNothing);
CreatorRegistration g_registerThrowing(kThrowingCreatorId, CreateThrowing);

}  // namespace

extern "C" TestCounters* __cdecl GetTestCounters() { return &g_counters; }

extern "C" void __cdecl RemoveComponentForTest(IComponent* component, int32_t notifyFactory)
{
    RemoveComponent(component, notifyFactory);
}
