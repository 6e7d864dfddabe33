// The module boundary through the real loaded DLLs: exports, creator table,
// registry, free map and the leak report at unload.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "DebugCapture.h"
#include "LoadedModule.h"
#include "TestModule.h"

namespace {

const char* const kExportNames[] = {"CreateComponent", "SetDLLRegistry",  "ZelvoDllFreeMap", "ZelvoDllCanUnloadNow",
                                    "SetFactoryHandle", "ZelvoSetDllSafe", "GetComponentIDs"};

// Only the module's own glue lines: the unload notice may add host lines.
std::vector<std::string> GlueLines(const DebugCapture& capture) { return capture.Matching("Zelvo[Error]"); }

class TestModuleFixture : public ::testing::Test {
protected:
    TestModuleFixture() : module("LrdTestModule.dll")
    {
        counters = module.Export<PFN_GetTestCounters>("GetTestCounters")();
    }
    ITestComponent* NewTestComponent(uint32_t creatorId = 1)
    {
        return static_cast<ITestComponent*>(module.CreateComponent(kTestComponentId, creatorId));
    }

    LoadedModule module;
    TestCounters* counters;
};

TEST(Exports, ByNameAndOrdinalAreTheSameFunctions)
{
    for (const char* dll : {"LinkrateDetector.dll", "LrdTestModule.dll"}) {
        LoadedModule module(dll);
        for (int ordinal = 1; ordinal <= 7; ++ordinal) {
            FARPROC byName = GetProcAddress(module.Handle(), kExportNames[ordinal - 1]);
            FARPROC byOrdinal = GetProcAddress(module.Handle(), MAKEINTRESOURCEA(ordinal));
            EXPECT_NE(byName, nullptr) << dll << " " << kExportNames[ordinal - 1];
            EXPECT_EQ(byName, byOrdinal) << dll << " ordinal " << ordinal;
        }
    }
}

TEST(Exports, ProductImportsSystemLibrariesOnly)
{
    LoadedModule module("LinkrateDetector.dll");
    auto base = reinterpret_cast<const BYTE*>(module.Handle());
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    ASSERT_NE(dir.VirtualAddress, 0u);
    const std::set<std::string> allowed = {"KERNEL32.DLL", "USER32.DLL", "WS2_32.DLL", "MSVCRT.DLL", "ADVAPI32.DLL"};
    auto import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
    int count = 0;
    for (; import->Name != 0; ++import, ++count) {
        std::string name = reinterpret_cast<const char*>(base + import->Name);
        for (char& c : name)
            c = (char)toupper((unsigned char)c);
        EXPECT_TRUE(allowed.count(name)) << "imports " << name;
    }
    EXPECT_GT(count, 0);
}

TEST_F(TestModuleFixture, GetComponentIdsCountsAndCopiesWithinCapacity)
{
    int32_t count = module.GetComponentIDs(nullptr, 0);
    ASSERT_GE(count, 3);

    int32_t ids[8];
    std::fill(std::begin(ids), std::end(ids), -7);
    EXPECT_EQ(module.GetComponentIDs(ids, 2), count);
    EXPECT_NE(ids[0], -7);
    EXPECT_NE(ids[1], -7);
    EXPECT_EQ(ids[2], -7) << "wrote past the capacity";

    std::fill(std::begin(ids), std::end(ids), -7);
    EXPECT_EQ(module.GetComponentIDs(ids, -1), count);
    EXPECT_EQ(ids[0], -7);

    ASSERT_LE(count, 8);
    EXPECT_EQ(module.GetComponentIDs(ids, 8), count);
    std::set<int32_t> listed(ids, ids + count);
    EXPECT_TRUE(listed.count(kTestComponentId) && listed.count(kNullCreatorId) && listed.count(kThrowingCreatorId));
}

TEST_F(TestModuleFixture, UnknownIdWritesItsTwoLinesOnEveryCall)
{
    DebugCapture capture;
    for (int call = 0; call < 2; ++call) {
        capture.Clear();
        SetLastError(0);
        EXPECT_EQ(module.CreateComponent(40, 7), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_FOUND);
        EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"Zelvo[Error]: Can't find the factory method of Component\n",
                                                             "Zelvo[Error]: ComponentID=40 CreatorID=7"}));
    }
    EXPECT_EQ(module.ZelvoDllCanUnloadNow(), 1);
}

TEST_F(TestModuleFixture, CreatorWithoutResultRegistersNothing)
{
    DebugCapture capture;
    SetLastError(0);
    EXPECT_EQ(module.CreateComponent(kNullCreatorId, 4294967295u), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"Zelvo[Error]:CreateComponent method return NULL.\n",
                                                         "Zelvo[Error]: ComponentID=101 CreatorID=4294967295"}));
    capture.Clear();
    EXPECT_EQ(module.CreateComponent(kThrowingCreatorId, 3), nullptr) << "no exception crosses the export";
    EXPECT_EQ(capture.Lines().size(), 2u);
    EXPECT_EQ(module.ZelvoDllCanUnloadNow(), 1);
}

TEST_F(TestModuleFixture, RegistryFollowsCreateAndRelease)
{
    EXPECT_EQ(module.ZelvoDllCanUnloadNow(), 1);
    ITestComponent* first = NewTestComponent();
    ITestComponent* second = NewTestComponent();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->GetComponentID(), kTestComponentId);
    EXPECT_EQ(first->GetVersion(), 7);
    EXPECT_EQ(module.ZelvoDllCanUnloadNow(), 0);

    first->Release(0);
    EXPECT_EQ(module.ZelvoDllCanUnloadNow(), 0);
    second->Release(0);
    EXPECT_EQ(module.ZelvoDllCanUnloadNow(), 1);
    EXPECT_EQ(counters->preDestroyCalls, 2);
    EXPECT_EQ(counters->destructions, 2);
}

TEST_F(TestModuleFixture, FreeMapReleasesOnlyAutoReleaseComponents)
{
    ITestComponent* kept = NewTestComponent();
    ITestComponent* freed = NewTestComponent();
    freed->SetAutoRelease(1);
    EXPECT_EQ(kept->GetAutoRelease(), 0);

    module.ZelvoDllFreeMap();
    EXPECT_EQ(counters->destructions, 1);
    EXPECT_EQ(module.ZelvoDllCanUnloadNow(), 0);
    EXPECT_EQ(kept->BusyCount(), 0) << "the kept component is still usable";

    // Several auto-release components at once: the walk restarts after each removal.
    for (int i = 0; i < 5; ++i)
        NewTestComponent()->SetAutoRelease(1);
    module.ZelvoDllFreeMap();
    EXPECT_EQ(counters->destructions, 6);
    kept->Release(0);
    EXPECT_EQ(module.ZelvoDllCanUnloadNow(), 1);
}

TEST_F(TestModuleFixture, FreeMapLeavesADeferredReleaseRegistered)
{
    ITestComponent* component = NewTestComponent();
    component->SetAutoRelease(1);
    struct Context {
        LoadedModule* module;
        TestCounters* counters;
        int32_t destructionsInside;
    } context{&module, counters, -1};
    component->Call(
        [](void* raw) {
            auto* c = static_cast<Context*>(raw);
            c->module->ZelvoDllFreeMap();
            c->destructionsInside = c->counters->destructions;
            EXPECT_EQ(c->module->ZelvoDllCanUnloadNow(), 0);
        },
        &context);
    EXPECT_EQ(context.destructionsInside, 0);
    EXPECT_EQ(counters->preDestroyCalls, 1);
    EXPECT_EQ(counters->destructions, 1) << "destroyed when the operation returned";
    EXPECT_EQ(module.ZelvoDllCanUnloadNow(), 1);
}

DWORD WINAPI FreeMapThread(void* parameter)
{
    static_cast<LoadedModule*>(parameter)->ZelvoDllFreeMap();
    return 0;
}

DWORD WINAPI DetachAtProcessEnd(void* parameter)
{
    static_cast<LoadedModule*>(parameter)->Export<PFN_ModuleDetach>("ModuleDetachForTest")(1);
    return 0;
}

// When the process ends, every other thread has been stopped wherever it was,
// possibly while it held the module lock; the detach step that then runs must not
// wait for that lock. Here a thread blocked inside ZelvoDllFreeMap holds it.
TEST_F(TestModuleFixture, DetachAtProcessEndDoesNotWaitForTheModuleLock)
{
    const DWORD kDeadlineMs = 20000;
    HANDLE inside = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE resume = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    struct Hold {
        HANDLE inside, resume;
    } hold = {inside, resume};
    ITestComponent* component = NewTestComponent();
    component->SetAutoRelease(1);
    component->SetPreDestroyCallback(
        [](void* raw) {
            auto* h = static_cast<Hold*>(raw);
            SetEvent(h->inside);
            WaitForSingleObject(h->resume, INFINITE);
        },
        &hold);
    HANDLE freeMap = CreateThread(nullptr, 0, FreeMapThread, &module, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(inside, kDeadlineMs), WAIT_OBJECT_0);

    HANDLE detach = CreateThread(nullptr, 0, DetachAtProcessEnd, &module, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(detach, kDeadlineMs), WAIT_OBJECT_0) << "the detach step waited for the module lock";

    SetEvent(resume);
    EXPECT_EQ(WaitForSingleObject(freeMap, kDeadlineMs), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(detach, kDeadlineMs), WAIT_OBJECT_0);
    EXPECT_EQ(module.ZelvoDllCanUnloadNow(), 1);
    for (HANDLE handle : {freeMap, detach, inside, resume})
        CloseHandle(handle);
}

TEST_F(TestModuleFixture, RemovingAnUnregisteredPointerWritesTwoLines)
{
    auto remove = module.Export<PFN_RemoveComponent>("RemoveComponentForTest");
    DebugCapture capture;
    remove(reinterpret_cast<IComponent*>(0x1234), 0);
    auto lines = GlueLines(capture);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Zelvo[Error]: To remove a component not exist\n");
    EXPECT_EQ(lines[1].rfind("Zelvo[Error]: IComponent* = 0x", 0), 0u);
    EXPECT_NE(lines[1].find("1234\n"), std::string::npos);
}

TEST_F(TestModuleFixture, SetDLLRegistryKeepsPathsUpTo259Characters)
{
    ITestComponent* component = NewTestComponent();
    char buffer[300];
    const std::string fits(259, 'a');
    EXPECT_EQ(module.SetDLLRegistry(fits.c_str()), 0);
    component->CopyDLLRegistry(nullptr, buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer), fits);

    EXPECT_EQ(module.SetDLLRegistry(std::string(260, 'b').c_str()), 0);
    component->CopyDLLRegistry("", buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer), "");

    module.SetDLLRegistry("cfg\\a.ini");
    EXPECT_EQ(module.SetDLLRegistry(nullptr), 0);
    component->CopyDLLRegistry(nullptr, buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer), "");

    // An explicit registry text wins; a buffer too small or absent is left alone.
    module.SetDLLRegistry("module.ini");
    component->CopyDLLRegistry("other.ini", buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer), "other.ini");
    strcpy(buffer, "untouched");
    component->CopyDLLRegistry(nullptr, buffer, 5);
    component->CopyDLLRegistry(nullptr, buffer, 0);
    component->CopyDLLRegistry(nullptr, nullptr, 100);
    EXPECT_EQ(std::string(buffer), "untouched");
    component->CopyDLLRegistry(nullptr, buffer, 11);
    EXPECT_EQ(std::string(buffer), "module.ini");
    component->Release(0);
}

TEST_F(TestModuleFixture, SetFactoryHandleAndSafeFlagEchoTheirArguments)
{
    EXPECT_EQ(module.SetFactoryHandle(reinterpret_cast<void*>(0x4000)), reinterpret_cast<void*>(0x4000));
    EXPECT_EQ(module.SetFactoryHandle(nullptr), nullptr);
    EXPECT_EQ(module.ZelvoSetDllSafe(5), 5);
    EXPECT_EQ(module.ZelvoSetDllSafe(1), 1);
}

TEST(LeakReport, UnloadWithALiveComponentWritesFourLines)
{
    DebugCapture capture;
    uintptr_t address;
    {
        LoadedModule module("LrdTestModule.dll");
        IComponent* leaked = module.CreateComponent(kTestComponentId, 0xABCD);
        ASSERT_NE(leaked, nullptr);
        address = reinterpret_cast<uintptr_t>(leaked);
        capture.Clear();
    }
    char componentLine[128];
    snprintf(componentLine, sizeof componentLine,
             "Zelvo[Error]:ComponentID:0x00000064 CreatorID:0x0000abcd Pointer:0x%08x\n", (unsigned)address);
    const std::string rule = "Zelvo[Error]:" + std::string(65, '=') + "\n";
    EXPECT_EQ(capture.Lines(),
              (std::vector<std::string>{rule, "Zelvo[Error]:Found leak Zelvo components. Count:1\n", componentLine, rule}));
}

TEST(LeakReport, UnloadWithNothingAliveWritesNothing)
{
    DebugCapture capture;
    {
        LoadedModule module("LrdTestModule.dll");
        module.CreateComponent(kTestComponentId, 1)->Release(0);
        capture.Clear();
    }
    EXPECT_TRUE(capture.Lines().empty());
}

}  // namespace
