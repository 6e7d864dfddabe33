// Lifetime rules of the component base: release now, release deferred to the end
// of the outermost operation in progress, the safe flag and the no-release mark.
#include <gtest/gtest.h>

#include <functional>

#include "LoadedModule.h"
#include "TestModule.h"

namespace {

class ComponentBase : public ::testing::Test {
protected:
    ComponentBase() : module("LrdTestModule.dll")
    {
        counters = module.Export<PFN_GetTestCounters>("GetTestCounters")();
        component = static_cast<ITestComponent*>(module.CreateComponent(kTestComponentId, 0));
    }

    // Runs body inside a guarded operation of the component.
    void Inside(ITestComponent* target, std::function<void()> body)
    {
        target->Call([](void* raw) { (*static_cast<std::function<void()>*>(raw))(); }, &body);
    }

    LoadedModule module;
    TestCounters* counters;
    ITestComponent* component;
};

TEST_F(ComponentBase, ReleaseWithoutOperationDestroysAtOnce)
{
    component->Release(0);
    EXPECT_EQ(counters->preDestroyCalls, 1);
    EXPECT_EQ(counters->destructions, 1);
    EXPECT_EQ(module.ZelvoDllCanUnloadNow(), 1);
}

TEST_F(ComponentBase, ReleaseInsideAnOperationWaitsForItsReturn)
{
    Inside(component, [&] {
        component->Release(0);
        EXPECT_EQ(counters->preDestroyCalls, 1) << "PreDestroy runs at once";
        EXPECT_EQ(counters->destructions, 0);
        component->Release(0);
        EXPECT_EQ(counters->preDestroyCalls, 1) << "PreDestroy runs once";
        EXPECT_EQ(module.ZelvoDllCanUnloadNow(), 0);
    });
    EXPECT_EQ(counters->destructions, 1);
    EXPECT_EQ(counters->preDestroyCalls, 1);
    EXPECT_EQ(module.ZelvoDllCanUnloadNow(), 1);
}

TEST_F(ComponentBase, NestedOperationsDeferToTheOutermost)
{
    Inside(component, [&] {
        Inside(component, [&] {
            EXPECT_EQ(component->BusyCount(), 2);
            component->Release(0);
        });
        EXPECT_EQ(counters->destructions, 0) << "the inner return must not destroy";
        // A late call after the release began still runs (no debugger is attached).
        EXPECT_EQ(component->Call(nullptr, nullptr), 1);
        EXPECT_EQ(counters->destructions, 0);
    });
    EXPECT_EQ(counters->destructions, 1);
    EXPECT_EQ(counters->preDestroyCalls, 1);
}

TEST_F(ComponentBase, SafeFlagZeroIgnoresEveryRelease)
{
    module.ZelvoSetDllSafe(0);
    component->Release(1);
    component->Release(0);
    EXPECT_EQ(counters->preDestroyCalls, 0);
    EXPECT_EQ(counters->destructions, 0);
    EXPECT_EQ(module.ZelvoDllCanUnloadNow(), 0);

    module.ZelvoSetDllSafe(1);
    component->Release(0);
    EXPECT_EQ(counters->destructions, 1);
}

TEST_F(ComponentBase, NoReleaseMarkYieldsOnlyToForce)
{
    component->SetNoReleaseMark(1);
    component->Release(0);
    EXPECT_EQ(counters->preDestroyCalls, 0);
    EXPECT_EQ(module.ZelvoDllCanUnloadNow(), 0);
    component->Release(1);
    EXPECT_EQ(counters->preDestroyCalls, 1);
    EXPECT_EQ(counters->destructions, 1);
}

TEST_F(ComponentBase, IgnoredDeferredReleaseIsCompletedLaterWithoutSecondPreDestroy)
{
    Inside(component, [&] {
        component->Release(0);
        module.ZelvoSetDllSafe(0);  // the guard's deferred release is then ignored
    });
    EXPECT_EQ(counters->destructions, 0);
    EXPECT_EQ(module.ZelvoDllCanUnloadNow(), 0);
    module.ZelvoSetDllSafe(1);
    component->Release(0);
    EXPECT_EQ(counters->destructions, 1);
    EXPECT_EQ(counters->preDestroyCalls, 1);
}

TEST_F(ComponentBase, AutoReleaseFlagIsPlainState)
{
    EXPECT_EQ(component->GetAutoRelease(), 0);
    component->SetAutoRelease(42);
    EXPECT_EQ(component->GetAutoRelease(), 42);
    component->Release(0);
}

}  // namespace
