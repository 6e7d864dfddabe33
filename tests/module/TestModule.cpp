#include "TestModule.h"

#include <new>

#include "ComponentBase.h"

namespace {

TestCounters g_counters;

template <int32_t kId>
class CTestComponent : public CComponentBase<ITestComponent, kId, 7> {
public:
    ~CTestComponent() override { ++g_counters.destructions; }

    int32_t LRD_THISCALL Call(TestCallback callback, void* context) override
    {
        auto guard = this->EnterCall();
        if (callback != nullptr)
            callback(context);
        return 1;
    }
    void LRD_THISCALL SetNoReleaseMark(int32_t value) override { this->bNoRelease = value; }
    int32_t LRD_THISCALL BusyCount() override { return this->nBusyCount; }
    void LRD_THISCALL CopyDLLRegistry(const char* registry, char* buffer, int32_t bufferSize) override
    {
        this->GetDLLRegistry(registry, buffer, bufferSize);
    }
    void LRD_THISCALL SetPreDestroyCallback(TestCallback callback, void* context) override
    {
        m_preDestroyCallback = callback;
        m_preDestroyContext = context;
    }
    void PreDestroy() override
    {
        ++g_counters.preDestroyCalls;
        if (m_preDestroyCallback != nullptr)
            m_preDestroyCallback(m_preDestroyContext);
    }

private:
    TestCallback m_preDestroyCallback = nullptr;
    void* m_preDestroyContext = nullptr;
};

IComponent* CreateTestComponent() { return new (std::nothrow) CTestComponent<kTestComponentId>(); }
IComponent* CreateFactoryLike() { return new (std::nothrow) CTestComponent<kFactoryLikeId>(); }
IComponent* CreateNothing() { return nullptr; }
IComponent* CreateThrowing() { throw std::bad_alloc(); }

CreatorRegistration g_registerTest(kTestComponentId, CreateTestComponent);
CreatorRegistration g_registerNull(kNullCreatorId, CreateNothing);
CreatorRegistration g_registerThrowing(kThrowingCreatorId, CreateThrowing);
CreatorRegistration g_registerFactoryLike(kFactoryLikeId, CreateFactoryLike);

}  // namespace

extern "C" TestCounters* __cdecl GetTestCounters() { return &g_counters; }

extern "C" void __cdecl RemoveComponentForTest(IComponent* component, int32_t notifyFactory)
{
    ComponentRemoval removal(component, notifyFactory);
}

extern "C" void __cdecl ModuleDetachForTest(int32_t processEnding) { ModuleDetach(processEnding); }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    ModuleEntry(instance, reason, reserved);
    return TRUE;
}
