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
