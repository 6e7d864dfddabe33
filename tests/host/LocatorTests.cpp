// The locator with real configuration files read through GetPrivateProfileStringA.
#include <gtest/gtest.h>

#include "DebugCapture.h"
#include "ExecutableFolder.h"
#include "FactoryLocator.h"
#include "HostSettings.h"
#include "TempFolder.h"
#include "ZelFactLibrary.h"

namespace {

class Locator : public ::testing::Test {
protected:
    ~Locator() override { StoreInjectedFactoryHandle(nullptr); }

    LibraryLocation Locate(const std::string& registryPath)
    {
        LibraryLocation location;
        LocateLibrary(reader, registryPath.c_str(), HostDirectory(), location);
        return location;
    }

    ProfileIniReader reader;
    TempFolder folder;
    ZelFactLibrary zelfact;
};

TEST_F(Locator, InjectedHandleWinsEvenForAMissingFile)
{
    StoreInjectedFactoryHandle(zelfact.Handle());
    DebugCapture capture;
    EXPECT_EQ(LoadFactoryLibrary("C:\\no such folder\\none.ini"), zelfact.Handle());
    EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(Locator, RedirectionsLeadToTheLibraryThatLoads)
{
    std::string last = folder.Write("last.ini",
                                    "[Redirect]\nPath=" + folder.Path() + "\\never.ini\n"
                                    "[361]\nDLL = ZelFact.dll\n[DefaultValue]\nDllPath=" + ExecutableFolder() + "\n");
    folder.Write("next.ini", "[Redirect]\nPath=last.ini\n");
    std::string start = folder.Write("start.ini", "[Redirect]\nPath=" + folder.Path() + "\\next.ini\n");

    LibraryLocation location = Locate(start);
    EXPECT_EQ(location.finalFile, last) << "a relative redirection is final";
    EXPECT_EQ(location.libraryPath, ExecutableFolder() + "\\ZelFact.dll");
    EXPECT_EQ(LoadFactoryLibrary(start.c_str()), zelfact.Handle());
}

TEST_F(Locator, RedirectionCycleIsCutWithOneLine)
{
    std::string a = folder.Path() + "\\a.ini";
    std::string b = folder.Write("b.ini", "[Redirect]\nPath=" + a + "\n");
    folder.Write("a.ini", "[Redirect]\nPath=" + b + "\n[361]\nDLL=" + ExecutableFolder() + "\\ZelFact.dll\n");

    DebugCapture capture;
    EXPECT_EQ(LoadFactoryLibrary(a.c_str()), zelfact.Handle()) << "the file reached still names the library";
    EXPECT_EQ(capture.Lines(),
              std::vector<std::string>{"[Zelvo_Error] Redirect chain too long, stopped at " + a + ".\n"});
}

TEST_F(Locator, RelativeRegistryPathsLieBelowTheHostDirectory)
{
    EXPECT_EQ(HostDirectory(), ExecutableFolder());
    EXPECT_EQ(std::string(Locate("").configFile), ExecutableFolder() + "\\Zelvo.ini");

    TempFolder below(HostDirectory());
    below.Write("cfg.ini", "[361]\nDLL=x.dll\nNotUseDefaultDllPath=1\n");
    std::string relative = below.Path().substr(strlen(HostDirectory()) + 1) + "\\cfg.ini";
    EXPECT_EQ(std::string(Locate(relative).libraryPath), below.Path() + "\\x.dll");
}

TEST_F(Locator, LibraryComponentFailuresAreReported)
{
    DebugCapture capture;
    EXPECT_EQ(CreateLibraryComponent(GetModuleHandleA("kernel32.dll"), 361), nullptr);
    zelfact.SetExportGivesFactory(0);
    EXPECT_EQ(CreateLibraryComponent(zelfact.Handle(), 361), nullptr);
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"[Zelvo_Error] Can't find CreateComponent().\n",
                                                         "[Zelvo_Error] CreateComponent(ComponentId=361) return null.\n"}));
    zelfact.SetExportGivesFactory(1);
    IComponent* factory = CreateLibraryComponent(zelfact.Handle(), 361);
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->GetComponentID(), 361);
}

}  // namespace
