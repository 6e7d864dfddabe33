// The notice to the framework's factory when the module's last component is gone,
// through the test build of the module and the test double of the factory library.
#include <gtest/gtest.h>

#include "DebugCapture.h"
#include "LoadedModule.h"
#include "TempFolder.h"
#include "TestModule.h"
#include "ZelFactLibrary.h"

namespace {

class UnloadNotice : public ::testing::Test {
protected:
    UnloadNotice() : module("LrdTestModule.dll") { module.SetFactoryHandle(zelfact.Handle()); }

    void CreateAndRelease(int32_t componentId)
    {
        IComponent* component = module.CreateComponent(componentId, 0);
        ASSERT_NE(component, nullptr);
        component->Release(0);
    }
    int32_t Notices() const { return zelfact.Counters().moduleCanUnloadCalls; }

    ZelFactLibrary zelfact;
    LoadedModule module;
};

TEST_F(UnloadNotice, EachEmptyingSendsOneWithTheModulesHandle)
{
    CreateAndRelease(kTestComponentId);
    EXPECT_EQ(Notices(), 1);
    EXPECT_EQ(zelfact.Counters().lastUnloadModule, static_cast<void*>(module.Handle()));
    EXPECT_EQ(zelfact.Counters().factoryRequests, 1);
    EXPECT_STREQ(zelfact.Counters().lastRequestPath, "");
    EXPECT_EQ(zelfact.Counters().lastAutoRelease, 1);
    EXPECT_EQ(zelfact.Counters().factoryReleases, 0) << "the factory component is not released";

    IComponent* first = module.CreateComponent(kTestComponentId, 0);
    IComponent* second = module.CreateComponent(kTestComponentId, 0);
    first->Release(0);
    EXPECT_EQ(Notices(), 1);
    second->Release(0);
    EXPECT_EQ(Notices(), 2);
}

TEST_F(UnloadNotice, UnregisteredPointerOnAnEmptyRegistryStillSendsIt)
{
    auto remove = module.Export<PFN_RemoveComponent>("RemoveComponentForTest");
    remove(reinterpret_cast<IComponent*>(0x1234), 0);
    EXPECT_EQ(Notices(), 0);
    remove(reinterpret_cast<IComponent*>(0x1234), 1);
    EXPECT_EQ(Notices(), 1);
}

struct LastRelease {
    LoadedModule* module;
    IComponent* component;
    bool throughFreeMap;
};

DWORD WINAPI ReleaseLast(void* parameter)
{
    auto* last = static_cast<LastRelease*>(parameter);
    if (last->throughFreeMap)
        last->module->ZelvoDllFreeMap();
    else
        last->component->Release(0);
    return 0;
}

DWORD WINAPI ListIds(void* parameter)
{
    static_cast<LoadedModule*>(parameter)->GetComponentIDs(nullptr, 0);
    return 0;
}

// The factory may do anything in ModuleCanUnload, loading or freeing libraries
// among it, and may take its time. Meanwhile the module must not look unloadable
// yet, since the releasing thread has still to return through it, and must not
// hold its lock, which a library's detach needs.
TEST_F(UnloadNotice, WhileTheFactoryHasItTheModuleIsBusyAndItsLockFree)
{
    const DWORD kDeadlineMs = 20000;
    for (bool throughFreeMap : {false, true}) {
        SCOPED_TRACE(throughFreeMap ? "released by ZelvoDllFreeMap" : "released by Release");
        HANDLE entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE resume = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        zelfact.HoldModuleCanUnload(entered, resume);
        int32_t noticesBefore = Notices();
        LastRelease last = {&module, module.CreateComponent(kTestComponentId, 0), throughFreeMap};
        ASSERT_NE(last.component, nullptr);
        last.component->SetAutoRelease(1);

        HANDLE releaser = CreateThread(nullptr, 0, ReleaseLast, &last, 0, nullptr);
        EXPECT_EQ(WaitForSingleObject(entered, kDeadlineMs), WAIT_OBJECT_0) << "no notice";
        EXPECT_EQ(module.ZelvoDllCanUnloadNow(), 0) << "unloadable while the notice is still running";
        HANDLE lister = CreateThread(nullptr, 0, ListIds, &module, 0, nullptr);
        EXPECT_EQ(WaitForSingleObject(lister, kDeadlineMs), WAIT_OBJECT_0)
            << "GetComponentIDs waited for the notice: the module lock is held while the factory is called";

        SetEvent(resume);
        EXPECT_EQ(WaitForSingleObject(releaser, kDeadlineMs), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(lister, kDeadlineMs), WAIT_OBJECT_0);
        EXPECT_EQ(module.ZelvoDllCanUnloadNow(), 1);
        EXPECT_EQ(Notices(), noticesBefore + 1);
        zelfact.HoldModuleCanUnload(nullptr, nullptr);
        for (HANDLE handle : {releaser, lister, entered, resume})
            CloseHandle(handle);
    }
}

TEST_F(UnloadNotice, FactoryComponentSendsNone)
{
    CreateAndRelease(kFactoryLikeId);
    EXPECT_EQ(Notices(), 0);
    EXPECT_EQ(zelfact.Counters().exportCalls, 0);
}

TEST_F(UnloadNotice, FactoryFoundThroughTheConfiguration)
{
    char exe[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, exe, sizeof exe - 1);
    std::string folderOfExe(exe, strrchr(exe, '\\'));
    TempFolder folder;
    std::string config = folder.Write("zelvo.ini", "[361]\nDLL=" + folderOfExe + "\\ZelFact.dll\n");
    module.SetFactoryHandle(nullptr);
    module.SetDLLRegistry(config.c_str());
    CreateAndRelease(kTestComponentId);
    EXPECT_EQ(Notices(), 1);
    EXPECT_EQ(zelfact.Counters().lastRequestPath, config);
}

TEST_F(UnloadNotice, UnloadableLibraryWritesItsLineAndSendsNothing)
{
    module.SetFactoryHandle(nullptr);
    module.SetDLLRegistry("C:\\lrd no such folder\\none.ini");
    DebugCapture capture;
    CreateAndRelease(kTestComponentId);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"[Zelvo_Error] Load ZelFact.dll Fail.\n"});
    EXPECT_EQ(Notices(), 0);
}

}  // namespace
