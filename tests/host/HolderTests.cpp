// Host component holders and buffers against the test double of the factory
// library, injected the way a host injects its own.
#include <gtest/gtest.h>

#include <string.h>

#include <functional>
#include <thread>
#include <vector>

#include "DebugCapture.h"
#include "ExecutableFolder.h"
#include "HostComponents.h"
#include "ZelFactLibrary.h"

namespace {

const char kMissingConfig[] = "C:\\lrd no such folder\\none.ini";
const uint32_t kOfferedId = 50;

class Holders : public ::testing::Test {
protected:
    Holders()
    {
        StoreInjectedFactoryHandle(zelfact.Handle());
        // Each test has a registry path of its own, so that a memory service kept
        // by an earlier test is not reused.
        registry = std::string("holders\\") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".ini";
        StoreRegistryPath(registry.c_str());
        zelfact.SetNewComponentResult(kOfferedId, 1);
    }
    ~Holders() override
    {
        StoreInjectedFactoryHandle(nullptr);
        StoreRegistryPath(nullptr);
    }
    const ZelFactCounters& counters() const { return zelfact.Counters(); }

    ZelFactLibrary zelfact;
    std::string registry;
};

TEST_F(Holders, EmptyOrNullPathStandsForTheRegistryPath)
{
    for (const char* path : {static_cast<const char*>(nullptr), "", "other.ini"}) {
        TZelvoPtr<> holder(path, kOfferedId);
        ASSERT_NE(holder.component, nullptr);
        EXPECT_NE(holder.factory, nullptr);
        EXPECT_EQ(counters().lastRequestPath, std::string(path && path[0] ? path : registry.c_str()));
        EXPECT_EQ(holder.component->GetAutoRelease(), 0);
    }
    EXPECT_EQ(counters().autoReleaseCalls, 3);
    EXPECT_EQ(counters().lastAutoRelease, 0);
    EXPECT_EQ(counters().keepsComponentCalls, 3);
    EXPECT_EQ(counters().otherReleases, 3);
    EXPECT_EQ(counters().factoryReleases, 0) << "the factory is never released";
}

TEST_F(Holders, ComponentIdZeroWritesItsLineAndStillAsks)
{
    zelfact.SetNewComponentResult(0, 1);
    DebugCapture capture;
    TZelvoPtr<> holder(nullptr, 0);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"[Zelvo_Error] TZelvoPtr with ComponentId = 0\n"});
    EXPECT_EQ(counters().otherRequests, 1);
    EXPECT_EQ(counters().lastRequestedId, 0u);
    EXPECT_NE(holder.component, nullptr);
}

TEST_F(Holders, KeptComponentIsLeftAloneAndMissingOneCallsNothing)
{
    zelfact.SetKeepsComponent(1);
    { TZelvoPtr<> kept(nullptr, kOfferedId); }
    EXPECT_EQ(counters().keepsComponentCalls, 1);
    EXPECT_EQ(counters().otherReleases, 0);
    EXPECT_EQ(counters().otherAlive, 1);

    DebugCapture capture;
    {
        TZelvoPtr<> none(nullptr, kOfferedId + 1);
        EXPECT_EQ(none.component, nullptr);
        EXPECT_NE(none.factory, nullptr);
    }
    EXPECT_TRUE(capture.Lines().empty()) << "a component the factory does not give is no error";
    EXPECT_EQ(counters().keepsComponentCalls, 1);
}

TEST_F(Holders, FactoryFailuresLeaveTheHolderEmpty)
{
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::vector<std::string> lines;
    } cases[] = {
        {"no library",
         [] {
             StoreInjectedFactoryHandle(nullptr);
             StoreRegistryPath(kMissingConfig);
         },
         {"[Zelvo_Error] Load ZelFact.dll Fail.\n"}},
        {"no export", [] { StoreInjectedFactoryHandle(GetModuleHandleA("kernel32.dll")); },
         {"[Zelvo_Error] Can't find CreateComponent().\n", "[Zelvo_Error] Create ComponentFactory in ZelFact.dll Fail\n"}},
        {"export gives null",
         [this] {
             StoreInjectedFactoryHandle(zelfact.Handle());
             zelfact.SetExportGivesFactory(0);
         },
         {"[Zelvo_Error] CreateComponent(ComponentId=361) return null.\n",
          "[Zelvo_Error] Create ComponentFactory in ZelFact.dll Fail\n"}},
    };
    for (const Case& c : cases) {
        c.arrange();
        DebugCapture capture;
        {
            TZelvoPtr<> holder(nullptr, kOfferedId);
            EXPECT_EQ(holder.component, nullptr) << c.name;
            EXPECT_EQ(holder.factory, nullptr) << c.name;
            TZelvoFactoryPtr factory;
            EXPECT_EQ(factory.component, nullptr) << c.name;
        }
        std::vector<std::string> twice = c.lines;
        twice.insert(twice.end(), c.lines.begin(), c.lines.end());
        EXPECT_EQ(capture.Lines(), twice) << c.name;
        EXPECT_EQ(counters().otherRequests + counters().factoryRequests + counters().keepsComponentCalls, 0) << c.name;
    }
}

TEST_F(Holders, FactoryHolderMarksAutoReleaseAndReleasesNothing)
{
    for (const char* path : {"", "factory.ini"}) {
        StoreRegistryPath(path);
        {
            TZelvoFactoryPtr holder;
            ASSERT_NE(holder.component, nullptr);
            EXPECT_EQ(holder.component->GetComponentID(), 361);
            EXPECT_EQ(holder.component->GetAutoRelease(), 1);
        }
        EXPECT_STREQ(counters().lastRequestPath, path) << "the registry path as it is, even when empty";
    }
    EXPECT_EQ(counters().factoryRequests, 2);
    EXPECT_EQ(counters().factoryReleases + counters().keepsComponentCalls, 0);
}

TEST_F(Holders, BuffersComeFromTheMemoryService)
{
    void* zeroed = nullptr;
    void* raw = nullptr;
    ASSERT_EQ(AllocateBuffer(&zeroed, 64, 1, 39), 1);
    EXPECT_EQ(counters().lastAllocateTag, 39u);
    EXPECT_EQ(counters().lastAllocateSize, 64u);
    ASSERT_EQ(AllocateBuffer(&raw, 16, 0, 7), 1);
    EXPECT_EQ(counters().lastAllocateTag, 7u);
    const std::vector<unsigned char> zeros(64, 0), asGiven(16, 0xCD);
    EXPECT_EQ(memcmp(zeroed, zeros.data(), 64), 0);
    EXPECT_EQ(memcmp(raw, asGiven.data(), 16), 0) << "without zero the content is the service's";

    EXPECT_EQ(FreeBuffer(zeroed), 1);
    EXPECT_EQ(FreeBuffer(raw), 1);
    EXPECT_EQ(FreeBuffer(nullptr), 0) << "the service's own result";
    EXPECT_EQ(counters().allocations, 2);
    EXPECT_EQ(counters().frees, 2);

    zelfact.FailAllocations(1);
    void* untouched = reinterpret_cast<void*>(0xDEADBEEF);
    EXPECT_EQ(AllocateBuffer(&untouched, 8, 1, 39), 0);
    EXPECT_EQ(untouched, reinterpret_cast<void*>(0xDEADBEEF));
    EXPECT_EQ(counters().failedAllocations, 1);
    EXPECT_EQ(AllocateBuffer(nullptr, 8, 1, 39), 0) << "no place for the buffer: nothing is allocated";
    EXPECT_EQ(counters().failedAllocations + counters().allocations, 3);

    IMemoryService* service = nullptr;
    EXPECT_EQ(GetMemoryService(nullptr, nullptr), 0);
    EXPECT_EQ(GetMemoryService(&service, std::string(300, 'p').c_str()), 0);
    EXPECT_EQ(service, nullptr);
}

TEST_F(Holders, WithoutAServiceThereIsNoBuffer)
{
    zelfact.SetNewComponentResult(LRD_MEMORY_SERVICE_ID, 0);
    void* buffer = reinterpret_cast<void*>(0xDEADBEEF);
    EXPECT_EQ(AllocateBuffer(&buffer, 8, 1, 39), 0);
    EXPECT_EQ(buffer, reinterpret_cast<void*>(0xDEADBEEF));
    EXPECT_EQ(counters().memoryServiceRequests, 1);

    StoreInjectedFactoryHandle(nullptr);
    StoreRegistryPath(kMissingConfig);
    DebugCapture capture;
    EXPECT_EQ(FreeBuffer(&buffer), 0);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"[Zelvo_Error] Load ZelFact.dll Fail.\n"});

    // A failure is not kept: the service is asked again once there is one.
    StoreInjectedFactoryHandle(zelfact.Handle());
    zelfact.SetNewComponentResult(LRD_MEMORY_SERVICE_ID, 1);
    EXPECT_EQ(AllocateBuffer(&buffer, 8, 1, 39), 1);
    EXPECT_EQ(FreeBuffer(buffer), 1);
}

TEST_F(Holders, MemoryServiceIsObtainedOncePerRegistryPath)
{
    for (int i = 0; i < 25; ++i) {
        void* buffer = nullptr;
        ASSERT_EQ(AllocateBuffer(&buffer, 100, 1, 39), 1);
        ASSERT_EQ(FreeBuffer(buffer), 1);
    }
    EXPECT_EQ(counters().memoryServiceRequests, 1);
    EXPECT_EQ(counters().memoryServiceReleases, 0) << "the kept service is never released";
    EXPECT_EQ(counters().allocations, 25);
    EXPECT_EQ(counters().frees, 25);

    StoreRegistryPath((registry + ".changed").c_str());
    void* buffer = nullptr;
    ASSERT_EQ(AllocateBuffer(&buffer, 100, 1, 39), 1);
    ASSERT_EQ(FreeBuffer(buffer), 1);
    EXPECT_EQ(counters().memoryServiceRequests, 2);
    EXPECT_STREQ(counters().lastRequestPath, (registry + ".changed").c_str());

    // A host that switches back and forth finds both kept.
    for (int i = 0; i < 10; ++i) {
        StoreRegistryPath(i % 2 ? registry.c_str() : (registry + ".changed").c_str());
        ASSERT_EQ(AllocateBuffer(&buffer, 100, 1, 39), 1);
        ASSERT_EQ(FreeBuffer(buffer), 1);
    }
    EXPECT_EQ(counters().memoryServiceRequests, 2);
    EXPECT_EQ(counters().memoryServiceReleases, 0);
}

TEST_F(Holders, BufferGoesBackToTheServiceThatGaveItAfterThePathChanged)
{
    const std::string other = registry + ".other";
    zelfact.SetSecondServicePath(other.c_str());
    void* first = nullptr;
    ASSERT_EQ(AllocateBuffer(&first, 64, 1, 39), 1);
    StoreRegistryPath(other.c_str());
    void* second = nullptr;
    ASSERT_EQ(AllocateBuffer(&second, 64, 1, 39), 1);
    EXPECT_EQ(counters().memoryServiceRequests, 2) << "the new path has a service of its own";

    StoreRegistryPath(registry.c_str());
    EXPECT_EQ(FreeBuffer(second), 1);
    EXPECT_EQ(FreeBuffer(first), 1);
    EXPECT_EQ(counters().strayFrees, 0) << "a buffer went to a service that did not give it";
    EXPECT_EQ(counters().frees, 2);
    EXPECT_EQ(FreeBuffer(first), 0) << "a buffer given back is no longer the module's";
    zelfact.SetSecondServicePath(nullptr);
}

TEST_F(Holders, ConcurrentCallersKeepOneService)
{
    const int kThreads = 4, kRounds = 100;
    // All threads start together, so that their first calls meet an empty cache.
    HANDLE start = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([start] {
            WaitForSingleObject(start, INFINITE);
            for (int i = 0; i < kRounds; ++i) {
                void* buffer = nullptr;
                if (AllocateBuffer(&buffer, 32, 1, 39) == 1)
                    FreeBuffer(buffer);
            }
        });
    }
    SetEvent(start);
    for (std::thread& thread : threads)
        thread.join();
    CloseHandle(start);
    EXPECT_EQ(counters().allocations, kThreads * kRounds);
    EXPECT_EQ(counters().frees, kThreads * kRounds);
    EXPECT_EQ(counters().memoryServiceRequests - counters().memoryServiceReleases, 1)
        << "services obtained in a race go back; one is kept";
}

TEST_F(Holders, FindLoadedFactoryUsesTheLoadedLibraryOnly)
{
    StoreInjectedFactoryHandle(nullptr);
    StoreRegistryPath(kMissingConfig);
    DebugCapture capture;
    IComponentFactory* factory = FindLoadedFactory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->GetComponentID(), 361);
    EXPECT_TRUE(capture.Lines().empty());

    zelfact.SetExportGivesFactory(0);
    EXPECT_EQ(FindLoadedFactory(), nullptr);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"Invoke CreateComponent() in ZelFact.dll return null.\n"});
    EXPECT_EQ(counters().factoryReleases, 0);
}

TEST_F(Holders, InterfaceSlotsSitWhereTheHostHasThem)
{
    // Calls through raw vtable positions (0-based), as the framework lays them out.
    typedef IComponent*(__thiscall * NewComponentSlot)(void*, uint32_t, const char*);
    typedef int32_t(__thiscall * PointerSlot)(void*, void*);
    typedef void*(__thiscall * AllocateSlot)(void*, uint32_t, uint32_t);
    IComponentFactory* factory = FindLoadedFactory();
    void** slots = *reinterpret_cast<void***>(factory);
    IComponent* service = reinterpret_cast<NewComponentSlot>(slots[5])(factory, 3, "slots.ini");
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(service->GetComponentID(), 3);
    reinterpret_cast<PointerSlot>(slots[10])(factory, reinterpret_cast<void*>(0x5000));
    EXPECT_EQ(counters().lastUnloadModule, reinterpret_cast<void*>(0x5000));
    reinterpret_cast<PointerSlot>(slots[14])(factory, service);
    EXPECT_EQ(counters().keepsComponentCalls, 1);
    typedef int32_t(__thiscall * LogSettingsSlot)(void*, int32_t*, int32_t, uint32_t*, uint32_t*, HostLogFile**);
    uint32_t mask = 7;
    reinterpret_cast<LogSettingsSlot>(slots[6])(factory, nullptr, 39, &mask, &mask, nullptr);
    EXPECT_EQ(counters().lastLogModuleId, 39);

    void** memorySlots = *reinterpret_cast<void***>(service);
    void* buffer = reinterpret_cast<AllocateSlot>(memorySlots[5])(service, 39, 8);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(reinterpret_cast<PointerSlot>(memorySlots[6])(service, buffer), 1);
    EXPECT_EQ(counters().frees, 1);
}

}  // namespace
