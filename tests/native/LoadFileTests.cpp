// The load file of lrdresponder: what each read of a changing file reports.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

#include <unistd.h>

#include "LoadFile.h"

using namespace lrdresponder;

TEST(LoadFile, ReportsEachNewNumberAndEachNewFaultOnceAndKeepsTheLastGoodLoad)
{
    char directory[] = "/tmp/lrd-loadfile-XXXXXX";
    ASSERT_TRUE(mkdtemp(directory));
    std::string path = std::string(directory) + "/load";
    using Change = LoadFile::Change;
    struct Step {
        std::optional<std::string> content;  // none: the file is missing
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
        {std::string(300, '1'), Change::Fault, 8, "'" + std::string(40, '1') + "..." + notANumber},
        {"5\x01", Change::Fault, 8, "'5?" + notANumber},
        {"4294967295\n", Change::NewLoad, 4294967295u, ""},
        {"0", Change::NewLoad, 0, ""},
    };
    LoadFile file(path);
    for (const Step& step : steps) {
        SCOPED_TRACE(step.content ? "'" + *step.content + "'" : "missing");
        std::remove(path.c_str());
        if (step.content) {
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
