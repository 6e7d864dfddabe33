// What lrdprobe makes of its command line and of the detector's results, with
// the results written here: cases a live detection cannot be steered into.
#include <gtest/gtest.h>

#include <string.h>

#include "ProbeOptions.h"
#include "ProbeSummary.h"

using namespace lrdprobe;

namespace {

IPInfo Record(const char* address, uint32_t rtt, uint32_t load)
{
    IPInfo info = {};
    strcpy(info.szIP, address);
    info.ushPort = 0xBEEF;  // the detector leaves the port as the buffer held it
    info.dwRTT = rtt;
    info.dwLoad = load;
    return info;
}

std::string Order(const std::vector<Row>& rows)
{
    std::string text;
    for (const Row& row : rows)
        text += row.server.address + ":" + std::to_string(row.server.port) + (row.Answered() ? " " : "(silent) ");
    return text;
}

}  // namespace

TEST(ProbeOptions, ServersFromArgumentsAndFilesKeepTheirOrderInCanonicalForm)
{
    auto read = [](const std::string& name, std::string& text) {
        text = "# list\r\n  10.0.0.3:9  # third\r\n\r\n10.0.0.4\r\n";
        return name == "list.txt";
    };
    Options options;
    ASSERT_EQ(ParseOptions({"10.0.0.1", "--format=csv", "-f", "list.txt", "10.0.0.2:1"}, options, read), "");
    ASSERT_EQ(options.servers.size(), 4u);
    EXPECT_EQ(options.servers[0].address, "10.0.0.1");
    EXPECT_EQ(options.servers[0].port, kDefaultPort);
    EXPECT_EQ(options.servers[1].address, "10.0.0.3");
    EXPECT_EQ(options.servers[1].port, 9);
    EXPECT_EQ(options.servers[2].port, kDefaultPort);
    EXPECT_EQ(options.servers[3].port, 1);
    EXPECT_EQ(options.format, Format::kCsv);

    EXPECT_EQ(ParseOptions({"-t", "5", "-t", "6", "10.0.0.1"}, options, read), "-t given twice");
    EXPECT_EQ(ParseOptions({"--log=", "10.0.0.1"}, options, read), "--log needs a value");
    EXPECT_EQ(ParseOptions({"-f", "other.txt"}, options, read), "-f other.txt: cannot read the file");
    EXPECT_EQ(options.servers.size(), 4u) << "a refused command line leaves the options alone";
}

TEST(ProbeSummary, RoundsGiveMinimumMedianMaximumAndTheRankingPutsSilentServersLast)
{
    Server near{"127.0.0.2", 5000}, loaded{"127.0.0.3", 5000}, silent{"127.0.0.4", 5000}, late{"127.0.0.5", 5000};
    Summary summary({silent, loaded, near, late});
    // The detector ranks the silent server (5000 x 100) before the late (6000 x 100)
    // and the loaded one (11 x 100000); lrdprobe does not.
    summary.AddRound({Record("127.0.0.2", 10, 50), Record("127.0.0.4", 5000, 100), Record("127.0.0.5", 5000, 100),
                      Record("127.0.0.3", 10, 100000)},
                     {{"127.0.0.2", 5000, 10}, {"127.0.0.3", 5000, 10}});
    // A reply after the sink's 5000 ms window changes the record without a report.
    summary.AddRound({Record("127.0.0.2", 21, 50), Record("127.0.0.4", 5000, 100), Record("127.0.0.3", 12, 100000),
                      Record("127.0.0.5", 6000, 100)},
                     {{"127.0.0.2", 5000, 21}, {"127.0.0.3", 5000, 12}});

    std::vector<Row> rows = summary.Ranked();
    EXPECT_EQ(Order(rows), "127.0.0.2:5000 127.0.0.5:5000 127.0.0.3:5000 127.0.0.4:5000(silent) ");
    EXPECT_EQ(rows[0].rttMin, 10u);
    EXPECT_EQ(rows[0].rttMedian, 15u);
    EXPECT_EQ(rows[0].rttMax, 21u);
    EXPECT_EQ(rows[0].replies, 2u);
    EXPECT_EQ(rows[1].replies, 1u);
    EXPECT_EQ(rows[1].rttMedian, 6000u);
    EXPECT_EQ(rows[3].replies, 0u);
    EXPECT_TRUE(summary.AnyAnswered());
}

TEST(ProbeSummary, RecordsWithoutPortsGoToTheServerOfTheirAddressThatTheSinkHeard)
{
    Server quiet{"127.0.0.2", 6000}, loud{"127.0.0.2", 7000}, other{"127.0.0.3", 7000};
    Summary summary({loud, quiet, other});
    // Only the long reply from port 7000 changed a record; the untouched record of
    // the same address, which comes first, belongs to the server nobody heard from.
    summary.AddRound({Record("127.0.0.2", 5000, 100), Record("127.0.0.3", 5000, 100), Record("127.0.0.2", 3, 900000)},
                     {{"127.0.0.2", 7000, 3}, {"127.0.0.9", 7000, 1}});
    std::vector<Row> rows = summary.Ranked();
    EXPECT_EQ(Order(rows), "127.0.0.2:7000 127.0.0.2:6000(silent) 127.0.0.3:7000(silent) ");
    EXPECT_EQ(rows[0].load, 900000u);
    EXPECT_FALSE(summary.Listed({"127.0.0.9", 7000, 1}));
    EXPECT_TRUE(summary.Listed({"127.0.0.2", 6000, 1}));

    Summary none({quiet});
    none.AddRound({Record("127.0.0.2", 5000, 100)}, {});
    EXPECT_FALSE(none.AnyAnswered());
}
