// The load file of lrdresponder: what each read of a changing file reports.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "LoadFile.h"

using namespace lrdresponder;

// Besides numbers and faulty text, what else can stand at the path: a pipe (whose
// open would wait for a writer), a directory, and a file far too long.
TEST(LoadFile, ReportsEachNewNumberAndEachNewFaultOnceAndKeepsTheLastGoodLoad)
{
    char directory[] = "/tmp/lrd-loadfile-XXXXXX";
    ASSERT_TRUE(mkdtemp(directory));
    std::string path = std::string(directory) + "/load";
    using Change = LoadFile::Change;
    const std::string kPipe = "\x01pipe", kDirectory = "\x01directory";
    struct Step {
        std::optional<std::string> content;  // none: the file is missing; kPipe, kDirectory
        Change change;
        uint32_t load;
        std::string fault;
    };
    const std::string missing = "cannot open it: No such file or directory";
    const std::string notANumber = "' is not a number from 0 to 4294967295";
    const Step steps[] = {
        {std::nullopt, Change::Fault, 0, missing},
        {"7\n", Change::NewLoad, 7, ""},
        {"7", Change::None, 7, ""},
        {" \t8 \r\n", Change::NewLoad, 8, ""},
        {"eight", Change::Fault, 8, "'eight" + notANumber},
        {"eight", Change::None, 8, ""},
        {std::nullopt, Change::Fault, 8, missing},
        {std::nullopt, Change::None, 8, ""},
        {"", Change::Fault, 8, "'" + notANumber},
        {"4294967296", Change::Fault, 8, "'4294967296" + notANumber},
        {"8 9", Change::Fault, 8, "'8 9" + notANumber},
        {"-1", Change::Fault, 8, "'-1" + notANumber},
        {"0x10", Change::Fault, 8, "'0x10" + notANumber},
        {"8", Change::NewLoad, 8, ""},
        {std::string(300, '1'), Change::Fault, 8, "it holds 300 bytes, more than the 256 of one number with white space"},
        {"14" + std::string(1 << 20, ' '), Change::Fault, 8,
         "it holds 1048578 bytes, more than the 256 of one number with white space"},
        {kPipe, Change::Fault, 8, "cannot read it: it is a pipe, not a regular file"},
        {kPipe, Change::None, 8, ""},
        {kDirectory, Change::Fault, 8, "cannot read it: it is a directory, not a regular file"},
        {"5\x01", Change::Fault, 8, "'5?" + notANumber},
        {"4294967295\n", Change::NewLoad, 4294967295u, ""},
        {"0", Change::NewLoad, 0, ""},
    };
    LoadFile file(path);
    for (const Step& step : steps) {
        SCOPED_TRACE(step.content ? "'" + step.content->substr(0, 20) + "'" : "missing");
        std::remove(path.c_str());
        if (step.content == kPipe) {
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        } else if (step.content == kDirectory) {
            ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        } else if (step.content) {
            FILE* out = std::fopen(path.c_str(), "wb");
            ASSERT_TRUE(out);
            std::fwrite(step.content->data(), 1, step.content->size(), out);
            std::fclose(out);
        }
        EXPECT_EQ(file.Read(), step.change);
        EXPECT_EQ(file.Load(), step.load);
        if (step.change == Change::Fault) {
            EXPECT_EQ(file.Fault(), step.fault);
        }
    }
    std::remove(path.c_str());
    rmdir(directory);
}
