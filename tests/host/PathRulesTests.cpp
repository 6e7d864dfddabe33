// The locator's path rules and the module's settings with configuration files
// held in memory.
#include <gtest/gtest.h>

#include <stdio.h>

#include <map>
#include <string>
#include <vector>

#include "ModuleSettings.h"
#include "PathRules.h"

namespace {

// Ini files in memory; records every read as "file|section/key".
class MemoryIni : public IniReader {
public:
    void Set(const std::string& file, const std::string& section, const std::string& key, const std::string& value)
    {
        m_values[file + "|" + section + "/" + key] = value;
    }
    void Read(const char* file, const char* section, const char* key, const char* fallback, char* out,
              int32_t size) override
    {
        std::string name = std::string(file) + "|" + section + "/" + key;
        reads.push_back(name);
        auto found = m_values.find(name);
        snprintf(out, (size_t)size, "%s", found != m_values.end() ? found->second.c_str() : fallback);
    }
    std::vector<std::string> reads;

private:
    std::map<std::string, std::string> m_values;
};

std::string FileDir(const char* file, const char* name)
{
    char out[kPathBufferSize];
    JoinToFileDir(file, name, out);
    return out;
}

std::string ConfigFile(const char* registryPath, const char* hostDir = "C:\\host")
{
    char out[kPathBufferSize];
    FindConfigFile(registryPath, hostDir, out);
    return out;
}

std::string Trimmed(const char* value, int32_t size)
{
    char out[64] = "poison";
    TrimValue(value, out, size);
    return out;
}

TEST(PathRules, AbsoluteBlankAndSeparator)
{
    for (const char* path : {"C:a.ini", "\\a.ini", "\\\\srv\\a.ini", "cfg\\x:y"})
        EXPECT_TRUE(IsAbsolutePath(path)) << path;
    for (const char* path : {"/a.ini", "cfg\\a.ini", "", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(IsAbsolutePath(path)) << (path ? path : "null");

    EXPECT_TRUE(IsBlank(nullptr));
    EXPECT_TRUE(IsBlank(" \t "));
    EXPECT_FALSE(IsBlank(" x "));

    EXPECT_EQ(FileDir("D:/cfg/z.ini", "f.dll"), "D:/cfg/f.dll");
    EXPECT_EQ(FileDir("D:\\x/y/z.ini", "f.dll"), "D:\\f.dll") << "the last backslash wins over any slash";
    EXPECT_EQ(FileDir("z.ini", "f.dll"), "z.ini\\f.dll");
    EXPECT_EQ(FileDir("D:\\z.ini", std::string(300, 'n').c_str()), "D:\\") << "a name that does not fit is skipped";
}

TEST(PathRules, FitFormsWriteOnlyWhatFits)
{
    char dest[8] = "keep";
    EXPECT_EQ(CopyIfFits(dest, 8, "1234567"), 1);
    EXPECT_STREQ(dest, "1234567");
    EXPECT_EQ(CopyIfFits(dest, 8, "12345678"), 0);
    EXPECT_EQ(CopyCountIfFits(dest, 8, "abcdefgh", 8), 0);
    EXPECT_EQ(CopyCountIfFits(dest, 8, "abcdefgh", 0), 0);
    EXPECT_STREQ(dest, "1234567") << "refusals leave the destination alone";
    EXPECT_EQ(CopyCountIfFits(dest, 8, "abcdefgh", 3), 1);
    EXPECT_STREQ(dest, "abc");
    EXPECT_EQ(AppendIfFits(dest, 8, "defgh"), 0);
    EXPECT_EQ(AppendIfFits(dest, 8, "defg"), 1);
    EXPECT_STREQ(dest, "abcdefg");
    EXPECT_EQ(AppendIfFits(nullptr, 8, "x"), 0);
    EXPECT_EQ(CopyIfFits(dest, 0, ""), 0);
}

TEST(PathRules, ConfigFileFromTheRegistryPath)
{
    EXPECT_EQ(ConfigFile(nullptr), "C:\\host\\Zelvo.ini");
    EXPECT_EQ(ConfigFile(""), "C:\\host\\Zelvo.ini");
    EXPECT_EQ(ConfigFile("cfg\\a.ini"), "C:\\host\\cfg\\a.ini");
    EXPECT_EQ(ConfigFile("/a.ini"), "C:\\host\\/a.ini");
    EXPECT_EQ(ConfigFile("C:a.ini"), "C:a.ini");
    EXPECT_EQ(ConfigFile("\\\\srv\\a.ini"), "\\\\srv\\a.ini");
    // Joined with the host directory, the result is cut at 258 characters.
    EXPECT_EQ(ConfigFile("name.ini", std::string(250, 'h').c_str()).size(), 258u);
}

TEST(PathRules, TrimValueKeepsInnerSpaces)
{
    EXPECT_EQ(Trimmed(" \tProgram Files\\f.dll \t", 64), "Program Files\\f.dll");
    EXPECT_EQ(Trimmed("f.dll", 64), "f.dll");
    EXPECT_EQ(Trimmed("   ", 64), "");
    EXPECT_EQ(Trimmed(" 123456789 ", 10), "123456789");
    EXPECT_EQ(Trimmed("1234567890", 10), "") << "a result that does not fit empties the destination";
}

class Redirect : public ::testing::Test {
protected:
    std::string Follow(const char* file, int32_t expectedEnded = 1)
    {
        char out[kPathBufferSize];
        EXPECT_EQ(FollowRedirect(ini, file, out), expectedEnded);
        return out;
    }
    MemoryIni ini;
};

TEST_F(Redirect, BlankRelativeAndAbsoluteTargets)
{
    ini.Set("C:\\a.ini", "Redirect", "Path", " \t ");
    EXPECT_EQ(Follow("C:\\a.ini"), "C:\\a.ini");

    // Absolute targets are followed again; a relative one is final.
    ini.Set("C:\\cfg\\start.ini", "Redirect", "Path", "D:\\next.ini");
    ini.Set("D:\\next.ini", "Redirect", "Path", "sub\\last.ini");
    ini.Set("D:\\sub\\last.ini", "Redirect", "Path", "E:\\never.ini");
    ini.reads.clear();
    EXPECT_EQ(Follow("C:\\cfg\\start.ini"), "D:\\sub\\last.ini");
    EXPECT_EQ(ini.reads, (std::vector<std::string>{"C:\\cfg\\start.ini|Redirect/Path", "D:\\next.ini|Redirect/Path"}));
}

TEST_F(Redirect, ChainsStopAfterSixteenAbsoluteSteps)
{
    ini.Set("C:\\self.ini", "Redirect", "Path", "C:\\self.ini");
    EXPECT_EQ(Follow("C:\\self.ini", 0), "C:\\self.ini");

    ini.Set("C:\\a.ini", "Redirect", "Path", "C:\\b.ini");
    ini.Set("C:\\b.ini", "Redirect", "Path", "C:\\a.ini");
    ini.reads.clear();
    EXPECT_EQ(Follow("C:\\b.ini", 0), "C:\\b.ini") << "sixteen steps from b lead back to b";
    EXPECT_EQ(ini.reads.size(), 17u);

    // A chain of exactly sixteen steps ends by itself; one more step is cut.
    for (int i = 0; i < 17; ++i)
        ini.Set("C:\\" + std::to_string(i) + ".ini", "Redirect", "Path", "C:\\" + std::to_string(i + 1) + ".ini");
    EXPECT_EQ(Follow("C:\\1.ini"), "C:\\17.ini");
    EXPECT_EQ(Follow("C:\\0.ini", 0), "C:\\16.ini");
}

class LibraryPath : public ::testing::Test {
protected:
    std::string Resolve()
    {
        char out[kPathBufferSize];
        ResolveLibraryPath(ini, kConfig, out);
        return out;
    }
    void Set(const char* section, const char* key, const char* value) { ini.Set(kConfig, section, key, value); }
    bool ReadDllPath() const
    {
        for (const std::string& read : ini.reads)
            if (read.find("DefaultValue/DllPath") != std::string::npos)
                return true;
        return false;
    }
    const char* const kConfig = "C:\\cfg\\z.ini";
    MemoryIni ini;
};

TEST_F(LibraryPath, AbsoluteDllIsUsedUnchanged)
{
    Set("361", "DLL", "  D:\\x\\f.dll ");
    Set("361", "NotUseDefaultDllPath", "1");
    Set("DefaultValue", "DllPath", "E:\\lib");
    EXPECT_EQ(Resolve(), "D:\\x\\f.dll");
}

TEST_F(LibraryPath, NotUseDefaultDllPathCountsOnlyAShortValueStartingWithOne)
{
    Set("361", "DLL", "f.dll");
    Set("DefaultValue", "DllPath", "E:\\lib");
    const struct {
        const char* value;
        bool besideConfig;
    } cases[] = {
        {"1", true}, {" 10 ", true}, {"true", false}, {"0", false},
        {"1111111111", false},  // ten characters do not fit the switch
    };
    for (const auto& c : cases) {
        Set("361", "NotUseDefaultDllPath", c.value);
        ini.reads.clear();
        EXPECT_EQ(Resolve(), c.besideConfig ? "C:\\cfg\\f.dll" : "E:\\lib\\f.dll") << c.value;
        EXPECT_EQ(ReadDllPath(), !c.besideConfig) << c.value;
    }
}

TEST_F(LibraryPath, DllPathPlacesARelativeDll)
{
    Set("361", "DLL", "f.dll");
    const struct {
        const char* dllPath;
        const char* expected;
    } cases[] = {
        {"D:\\lib", "D:\\lib\\f.dll"},
        {"lib", "C:\\cfg\\lib\\f.dll"},
        {"", "C:\\cfg\\f.dll"},
        {" \t", "C:\\cfg\\f.dll"},
    };
    for (const auto& c : cases) {
        Set("DefaultValue", "DllPath", c.dllPath);
        EXPECT_EQ(Resolve(), c.expected) << "[" << c.dllPath << "]";
    }
    Set("361", "DLL", "");
    Set("DefaultValue", "DllPath", "");
    EXPECT_EQ(Resolve(), "C:\\cfg\\") << "no DLL names the configuration's folder, which will not load";
}

TEST(LocateLibrary, FromRegistryPathThroughRedirectionsToTheLibrary)
{
    MemoryIni ini;
    ini.Set("C:\\host\\Zelvo.ini", "Redirect", "Path", "D:\\z\\main.ini");
    ini.Set("D:\\z\\main.ini", "361", "DLL", "ZelFact.dll");
    ini.Set("D:\\z\\main.ini", "361", "NotUseDefaultDllPath", "1");
    LibraryLocation location;
    LocateLibrary(ini, "", "C:\\host", location);
    EXPECT_STREQ(location.configFile, "C:\\host\\Zelvo.ini");
    EXPECT_STREQ(location.finalFile, "D:\\z\\main.ini");
    EXPECT_STREQ(location.libraryPath, "D:\\z\\ZelFact.dll");
    EXPECT_EQ(location.chainCut, 0);

    ini.Set("C:\\loop.ini", "Redirect", "Path", "C:\\loop.ini");
    LocateLibrary(ini, "C:\\loop.ini", "C:\\host", location);
    EXPECT_EQ(location.chainCut, 1);
    EXPECT_STREQ(location.libraryPath, "C:\\");
}

// The module's section: a missing or blank key is the default without a word;
// anything but a number in range is refused, reported, and the default used.
TEST(ModuleSettings, ReprobeCountIsTakenOnlyWhenItIsANumberInRange)
{
    class Recorded final : public SettingProblems {
    public:
        void Refused(const SettingDefinition& definition, const char* value) override
        {
            lines.push_back(std::string(definition.key) + "=" + value);
        }
        std::vector<std::string> lines;
    };
    const struct {
        const char* value;  // null: no such key
        uint32_t taken;
        bool refused;
    } cases[] = {
        {nullptr, 0, false}, {"", 0, false},     {" \t", 0, false},  {"3", 3, false},  {" 10\t", 10, false},
        {"0", 0, false},     {"11", 0, true},    {"-1", 0, true},    {"+2", 0, true},    {"2x", 0, true},
        {"0x2", 0, true},    {"1 2", 0, true},   {"99999999999999999999", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value != nullptr ? c.value : "(none)");
        MemoryIni ini;
        if (c.value != nullptr)
            ini.Set("C:\\host\\Zelvo.ini", "39", "ReprobeCount", c.value);
        ModuleSettings settings;
        Recorded problems;
        ReadModuleSettings(ini, "C:\\host\\Zelvo.ini", settings, problems);
        EXPECT_EQ(settings.Get(Setting::kReprobeCount), c.taken);
        EXPECT_EQ(problems.lines.size(), c.refused ? 1u : 0u);
        EXPECT_EQ(ini.reads, std::vector<std::string>{"C:\\host\\Zelvo.ini|39/ReprobeCount"});
    }
}

}  // namespace
