// A channel takes its settings from the factory library loaded when it is made.
// This process starts without "ZelFact.dll"; the steps below load a library of
// that name that lacks the export, then the test double, in this order.
#include <gtest/gtest.h>

#include "DebugCapture.h"
#include "ExecutableFolder.h"
#include "HostComponents.h"
#include "LogChannel.h"
#include "TempFolder.h"
#include "ZelFactLibrary.h"

namespace {

TEST(LogChannelBeforeTheLibrary, StaysSilentForItsWholeLife)
{
    ASSERT_EQ(GetModuleHandleA("ZelFact.dll"), nullptr) << "this process must start without the library";
    DebugCapture capture;
    StoreInjectedFactoryHandle(GetModuleHandleA("kernel32.dll"));
    EXPECT_EQ(FindLoadedFactory(), nullptr) << "an injected handle is not used";
    StoreInjectedFactoryHandle(nullptr);
    CLogChannel early;
    EXPECT_TRUE(capture.Lines().empty());

    // A library of the same name without the export.
    HMODULE impostor = LoadLibraryA((ExecutableFolder() + "\\without-export\\ZelFact.dll").c_str());
    ASSERT_NE(impostor, nullptr);
    CLogChannel withoutExport;
    EXPECT_EQ(capture.Lines(),
              std::vector<std::string>{"Can't find CreateComponent() in ZelFact.dll or ZelFact.dll is missed\n"});
    FreeLibrary(impostor);
    ASSERT_EQ(GetModuleHandleA("ZelFact.dll"), nullptr);

    ZelFactLibrary zelfact;
    TempFolder folder;
    std::string path = folder.Adopt("log.txt");
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    zelfact.SetLogSettings(3, 3, file, nullptr, 1);
    capture.Clear();
    early.Error("early");
    withoutExport.Error("without export");
    EXPECT_TRUE(capture.Lines().empty());
    EXPECT_EQ(zelfact.Counters().getLogSettingsCalls, 0);

    CLogChannel late;
    late.Trace("late");
    EXPECT_EQ(capture.Lines().size(), 1u);
    CloseHandle(file);
    FILE* stream = fopen(path.c_str(), "rb");
    ASSERT_NE(stream, nullptr);
    char text[256] = {0};
    fgets(text, sizeof text, stream);
    fclose(stream);
    EXPECT_EQ(std::string(text).rfind("0\t", 0), 0u) << "the module's first file line is number 0: " << text;
}

}  // namespace
