// The module and the shipped factory library loaded and unloaded two thousand
// times in one process, as a host framework that frees idle modules does. After
// a short warm-up, the cycles may leave no TLS index, no handle and no more than
// a little heap behind in all; the one exception is a semaphore per load of the
// module, the lock that the C++ runtime's exception unwinder makes when it
// registers the module's unwind tables and never frees (the factory library
// has no C++ runtime).
#include <winsock2.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "CountingSink.h"
#include "LinkrateDetector.h"
#include "MessagePump.h"
#include "ProcessCensus.h"
#include "TempFolder.h"
#include "ZelFact.h"

namespace {

const int kCycles = 2000;
const int kWarmUpCycles = 20;
const int64_t kHeapSlackBytes = 64 * 1024;
const char kModule[] = "LinkrateDetector.dll";
const char kFactory[] = "host\\ZelFact.dll";

template <class F>
F Export(HMODULE library, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

// Runs cycle(), which loads the module once, warm-up plus kCycles times and
// checks what the measured cycles left behind.
template <class Cycle>
void ExpectNothingLeftBehind(const char* what, Cycle cycle)
{
    for (int i = 0; i < kWarmUpCycles; ++i)
        ASSERT_TRUE(cycle()) << what << ": warm-up cycle " << i + 1 << " failed";
    const Leftovers before = CountLeftovers();
    int failures = 0;
    for (int i = 0; i < kCycles; ++i) {
        if (!cycle() && ++failures <= 5)
            ADD_FAILURE() << what << ": cycle " << i + 1 << " failed";
    }
    const Leftovers after = CountLeftovers();
    const long handles = (long)(after.nextHandle - before.nextHandle) / 4;
    const long semaphores = (long)after.semaphores - (long)before.semaphores;
    std::printf("%s: %d cycles left TLS index %+ld, handles %+ld (semaphores %+ld), heap %+lld bytes\n", what,
                kCycles, (long)after.tlsIndex - (long)before.tlsIndex, handles, semaphores,
                (long long)(after.heapBytes - before.heapBytes));
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(after.tlsIndex, before.tlsIndex) << what << ": TLS indexes left behind";
    EXPECT_EQ(handles - semaphores, 0) << what << ": handles left behind";
    EXPECT_LE(semaphores, (long)kCycles) << what << ": more than the unwinder's semaphore per load";
    EXPECT_LE(after.heapBytes - before.heapBytes, kHeapSlackBytes) << what << ": heap left behind";
}

// Each library loaded and unloaded; the factory library configured with a log
// file in between, which its unload closes.
TEST(LoadCycles, LibrariesAloneLeaveNothingBehind)
{
    TempFolder folder;
    const std::string log = folder.Path() + "\\factory.log";
    ExpectNothingLeftBehind("libraries alone", [&] {
        HMODULE module = LoadLibraryA(kModule);
        bool ok = module != nullptr && FreeLibrary(module);
        HMODULE factory = LoadLibraryA(kFactory);
        ok = ok && factory != nullptr &&
             Export<PFN_ZelFactConfigure>(factory, "ZelFactConfigure")(0, 1, log.c_str()) == 1;
        return factory != nullptr && FreeLibrary(factory) && ok;
    });
    DeleteFileA(log.c_str());
}

// A whole host's use of the module in every cycle: load, a detector, one
// detection answered by a loopback echo, the release, the unload.
TEST(LoadCycles, DetectionsLeaveNothingBehind)
{
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    HMODULE factory = LoadLibraryA(kFactory);
    ASSERT_NE(factory, nullptr);
    ASSERT_EQ(Export<PFN_ZelFactConfigure>(factory, "ZelFactConfigure")(0, 0, nullptr), 1);
    {
        EchoServer echo;
        std::vector<uint8_t> storage(LRD_SERVER_LIST_SIZE(1), 0);
        auto* list = reinterpret_cast<ServerList*>(storage.data());
        list->ushCount = 1;
        strcpy(list->servers[0].szAddr, "127.0.0.1");
        list->servers[0].ushPort = echo.port;
        int reports = 0;
        ExpectNothingLeftBehind("detections", [&] {
            HMODULE module = LoadLibraryA(kModule);
            if (module == nullptr)
                return false;
            Export<PFN_SetFactoryHandle>(module, "SetFactoryHandle")(factory);
            auto* detector = static_cast<ILinkrateDetector*>(
                Export<PFN_CreateComponent>(module, "CreateComponent")(LRD_DETECTOR_ID, 0));
            CountingSink sink;
            bool ok = detector != nullptr && detector->Initialize(&sink) == 1 && detector->Detect(list, 1) == 1 &&
                      PumpUntil([&] {
                          echo.Poll();
                          return sink.finished == 1;
                      });
            if (detector != nullptr)
                detector->Release(0);
            ok = ok && Export<PFN_ZelvoDllCanUnloadNow>(module, "ZelvoDllCanUnloadNow")() == 1;
            reports += sink.reports;
            return FreeLibrary(module) && ok;
        });
        EXPECT_GT(reports, 0) << "no detection saw the echo's reply";
    }
    FreeLibrary(factory);
    WSACleanup();
}

// A detector released on another thread leaves its window for this thread to
// close at its next pump; the unload may come first. Neither that window nor
// the class may then name the unloaded image's code.
TEST(LoadCycles, NothingNamesTheUnloadedCodeAfterACrossThreadRelease)
{
    const char kWindowClass[] = "LinkrateDetectorModuleWindow";
    HMODULE factory = LoadLibraryA(kFactory);
    ASSERT_NE(factory, nullptr);
    HMODULE module = LoadLibraryA(kModule);
    ASSERT_NE(module, nullptr);
    const uintptr_t begin = (uintptr_t)module;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
    const uintptr_t end =
        begin + reinterpret_cast<const IMAGE_NT_HEADERS*>(begin + dos->e_lfanew)->OptionalHeader.SizeOfImage;
    auto inImage = [&](LONG_PTR address) { return (uintptr_t)address >= begin && (uintptr_t)address < end; };
    Export<PFN_SetFactoryHandle>(module, "SetFactoryHandle")(factory);
    auto* detector =
        static_cast<ILinkrateDetector*>(Export<PFN_CreateComponent>(module, "CreateComponent")(LRD_DETECTOR_ID, 0));
    ASSERT_NE(detector, nullptr);
    auto windowsOfTheClass = [&] {
        std::vector<HWND> windows;
        for (HWND window = nullptr; (window = FindWindowExA(HWND_MESSAGE, window, kWindowClass, nullptr)) != nullptr;)
            windows.push_back(window);
        return windows;
    };
    const std::vector<HWND> before = windowsOfTheClass();
    ASSERT_EQ(detector->Initialize(nullptr), 1);
    HWND made = nullptr;
    for (HWND window : windowsOfTheClass())
        if (std::find(before.begin(), before.end(), window) == before.end())
            made = window;
    ASSERT_NE(made, nullptr);
    std::thread([&] { detector->Release(0); }).join();
    ASSERT_EQ(Export<PFN_ZelvoDllCanUnloadNow>(module, "ZelvoDllCanUnloadNow")(), 1);
    ASSERT_TRUE(FreeLibrary(module));

    WNDCLASSEXA info = {};
    info.cbSize = sizeof info;
    if (GetClassInfoExA(reinterpret_cast<HINSTANCE>(module), kWindowClass, &info))
        EXPECT_FALSE(inImage((LONG_PTR)info.lpfnWndProc)) << "the class names the unloaded procedure";
    for (HWND window : windowsOfTheClass())
        EXPECT_FALSE(inImage(GetWindowLongA(window, GWL_WNDPROC))) << "a window names the unloaded procedure";
    EXPECT_TRUE(IsWindow(made)) << "the window waits for this thread's pump";
    PumpFor(200);
    EXPECT_FALSE(IsWindow(made));
    FreeLibrary(factory);
}

}  // namespace
