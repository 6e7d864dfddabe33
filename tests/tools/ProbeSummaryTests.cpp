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
    // A reply after the sink's 5000 ms window changes the record without a report,
    // so nothing tells which port it came from: it does not count.
    summary.AddRound({Record("127.0.0.2", 21, 50), Record("127.0.0.4", 5000, 100), Record("127.0.0.3", 12, 100000),
                      Record("127.0.0.5", 6000, 100)},
                     {{"127.0.0.2", 5000, 21}, {"127.0.0.3", 5000, 12}});

    std::vector<Row> rows = summary.Ranked();
    EXPECT_EQ(Order(rows), "127.0.0.2:5000 127.0.0.3:5000 127.0.0.4:5000(silent) 127.0.0.5:5000(silent) ");
    EXPECT_EQ(rows[0].rttMin, 10u);
    EXPECT_EQ(rows[0].rttMedian, 15u);
    EXPECT_EQ(rows[0].rttMax, 21u);
    EXPECT_EQ(rows[0].replies, 2u);
    EXPECT_EQ(rows[1].replies, 2u);
    EXPECT_EQ(rows[1].rttMedian, 11u);
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

TEST(ProbeOptions, HostNamesBecomeTheirAddressesAndAddressesNoServerCanHaveAreRefused)
{
    auto read = [](const std::string&, std::string&) { return false; };
    auto resolve = [](const std::string& name, std::vector<uint32_t>& addresses) -> std::string {
        if (name == "pair.example")
            addresses = {0x7F000002, 0x7F000003, 0x7F000002};
        else if (name == "zero.example")
            addresses = {0x7F000002, 0};
        else
            return "No such host is known.";
        return {};
    };
    Options options;
    ASSERT_EQ(ParseOptions({"pair.example:9", "127.0.0.4"}, options, read, resolve), "");
    ASSERT_EQ(options.servers.size(), 3u);
    EXPECT_EQ(options.servers[0].address + " " + options.servers[0].name, "127.0.0.2 pair.example");
    EXPECT_EQ(options.servers[1].address + ":" + std::to_string(options.servers[1].port), "127.0.0.3:9");
    EXPECT_EQ(options.servers[2].name, "");

    const struct {
        const char* argument;
        const char* message;
    } refused[] = {
        {"0.0.0.0", "server '0.0.0.0': 0.0.0.0 cannot be a server (the unspecified address)"},
        {"255.255.255.255:9", "server '255.255.255.255:9': 255.255.255.255 cannot be a server (the broadcast address)"},
        {"224.0.0.1", "server '224.0.0.1': 224.0.0.1 cannot be a server (a multicast address, 224.0.0.0/4)"},
        {"239.255.255.255", "server '239.255.255.255': 239.255.255.255 cannot be a server (a multicast address, "
                            "224.0.0.0/4)"},
        {"240.0.0.0", "server '240.0.0.0': 240.0.0.0 cannot be a server (a reserved address, 240.0.0.0/4)"},
        {"::1", "server '::1': IPv6 is not supported by the probe protocol"},
        {"[::1]:8000", "server '[::1]:8000': IPv6 is not supported by the probe protocol"},
        {"fe80::1", "server 'fe80::1': IPv6 is not supported by the probe protocol"},
        {"1.2.3", "server '1.2.3': '1.2.3' is not a dotted IPv4 address or a host name"},
        {"0x7f.1", "server '0x7f.1': '0x7f.1' is not a dotted IPv4 address or a host name"},
        {"-bad.example", "unknown option '-bad.example'"},
        {"bad-.example", "server 'bad-.example': 'bad-.example' is not a dotted IPv4 address or a host name"},
        {"none.example", "server 'none.example': cannot resolve 'none.example': No such host is known."},
        {"zero.example", "server 'zero.example': 'zero.example' resolves to 0.0.0.0, which cannot be a server (the "
                         "unspecified address)"},
    };
    for (const auto& c : refused)
        EXPECT_EQ(ParseOptions({"127.0.0.4", c.argument}, options, read, resolve), c.message);
    EXPECT_EQ(options.servers.size(), 3u) << "a refused command line leaves the options alone";
}

// Servers that share addresses and ports, answering with short and long replies
// over three rounds: a server answers only by a reply from its own address and
// port, with that reply's time, and ranks by the share of rounds answered first.
TEST(ProbeSummary, ServersSharingAddressesAndPortsAnswerOnlyByTheirOwnReplies)
{
    Server live{"127.0.0.6", 47900}, dead{"127.0.0.6", 47999}, twice{"127.0.0.7", 47900}, flaky{"127.0.0.8", 47900},
        slow{"127.0.0.9", 47900};
    Summary summary({dead, live, twice, twice, flaky, slow});
    // live sends short replies: they set the time of every record of its address,
    // the dead port's too. The server listed twice counts twice.
    for (uint32_t round = 0; round < 3; ++round) {
        std::vector<Reply> replies = {{"127.0.0.6", 47900, 4}, {"127.0.0.7", 47900, 30}, {"127.0.0.9", 47900, 400},
                                      {"127.0.0.6", 47901, 1}};
        if (round == 1)
            replies.push_back({"127.0.0.8", 47900, 1});
        summary.AddRound({Record("127.0.0.8", round == 1 ? 1 : 5000, round == 1 ? 2 : 100), Record("127.0.0.6", 4, 100),
                          Record("127.0.0.6", 4, 100), Record("127.0.0.7", 30, 90), Record("127.0.0.7", 30, 90),
                          Record("127.0.0.9", 400, 1)},
                         replies);
    }
    std::vector<Row> rows = summary.Ranked();
    // flaky has the best score (1 x 2) but answered one round of three.
    EXPECT_EQ(Order(rows), "127.0.0.9:47900 127.0.0.6:47900 127.0.0.7:47900 127.0.0.7:47900 127.0.0.8:47900 "
                           "127.0.0.6:47999(silent) ");
    EXPECT_EQ(rows[0].Score(), 400u);
    EXPECT_EQ(rows[1].Score(), 400u);
    EXPECT_EQ(rows[1].rttMedian, 4u);
    EXPECT_EQ(rows[2].Score(), 2700u);
    EXPECT_EQ(rows[3].replies, 3u);
    EXPECT_EQ(rows[4].replies, 1u);
    EXPECT_EQ(rows[4].load, 2u);
    EXPECT_EQ(rows[5].replies, 0u);
    EXPECT_FALSE(summary.Listed({"127.0.0.6", 47901, 1}));

    std::string table = FormatTable(rows, 3);
    EXPECT_NE(table.find("  load  score  replies  loss\n"), std::string::npos) << table;
    EXPECT_NE(table.find("  1/3   67%\n"), std::string::npos) << table;
    EXPECT_NE(table.find("  -      -      0/3  100%\n"), std::string::npos) << table;
}

// Every port of 256 addresses, in a list of 65 535: the summary finds each
// server's reply and record without walking the others.
TEST(ProbeSummary, SixtyFiveThousandServersOnSharedAddressesAndPorts)
{
    std::vector<Server> servers;
    for (uint32_t i = 0; i < 65535; ++i)
        servers.push_back(Server{"127.0.1." + std::to_string(i % 256), uint16_t(1 + i / 256), {}});
    Summary summary(servers);
    // Servers with an even index answer with a long reply: time i % 97, load 1 + i % 5.
    std::vector<Reply> replies;
    std::vector<IPInfo> records;
    for (uint32_t i = 0; i < servers.size(); ++i) {
        bool answers = i % 2 == 0;
        if (answers)
            replies.push_back(Reply{servers[i].address, servers[i].port, i % 97});
        records.push_back(Record(servers[i].address.c_str(), answers ? i % 97 : 5000, answers ? 1 + i % 5 : 100));
    }
    summary.AddRound(records, replies);
    std::vector<Row> rows = summary.Ranked();
    ASSERT_EQ(rows.size(), servers.size());
    uint32_t answered = 0;
    for (size_t r = 0; r < rows.size(); ++r) {
        const Row& row = rows[r];
        uint32_t i = (row.server.port - 1) * 256 + std::stoul(row.server.address.substr(8));
        ASSERT_EQ(row.Answered(), i % 2 == 0) << row.server.address << ":" << row.server.port;
        if (!row.Answered())
            continue;
        ++answered;
        ASSERT_EQ(row.rttMedian, i % 97);
        ASSERT_EQ(row.load, 1 + i % 5);
        if (r > 0) {
            ASSERT_LE(rows[r - 1].Score(), row.Score());
        }
    }
    EXPECT_EQ(answered, 32768u);
}
