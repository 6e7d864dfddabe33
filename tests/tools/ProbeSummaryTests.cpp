// What lrdprobe makes of its command line and of the detector's results, with
// the results written here: cases a live detection cannot be steered into.
#include <gtest/gtest.h>

#include <string.h>

#include <cmath>
#include <sstream>

#include "ProbeOptions.h"
#include "ProbeSummary.h"
#include "RepliesFirstRanking.h"

using namespace lrdprobe;

namespace {

IPInfo Record(const char* address, uint16_t port, uint32_t rtt, uint32_t load)
{
    IPInfo info = {};
    strcpy(info.szIP, address);
    info.ushPort = port;
    info.dwRTT = rtt;
    info.dwLoad = load;
    return info;
}

// count rounds at rtt ms, the first `lost` of them lost.
ServerRounds Rounds(uint32_t rtt, uint32_t count, uint32_t lost, uint32_t load)
{
    ServerRounds server;
    server.samples.assign(count, rtt);
    std::fill(server.samples.begin(), server.samples.begin() + lost, kLost);
    server.load = load;
    return server;
}

// Five answers spread 10 ms either side of `median` (mean deviation 6 ms) and
// `lost` rounds lost.
ServerRounds Jittered(uint32_t median, uint32_t lost, uint32_t load)
{
    ServerRounds server;
    server.samples = {median - 10, median + 10, median, median - 5, median + 5};
    server.samples.insert(server.samples.end(), lost, kLost);
    server.load = load;
    return server;
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
        return std::string(name == "list.txt" ? "" : "no such file");
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
    EXPECT_EQ(options.reprobes, kReprobesUnset) << "without -r the module's configuration stays as it is";

    EXPECT_EQ(ParseOptions({"-r", "11", "10.0.0.1"}, options, read), "-r '11' is not a number from 0 to 10");
    EXPECT_EQ(ParseOptions({"-t", "5", "-t", "6", "10.0.0.1"}, options, read), "-t given twice");
    EXPECT_EQ(ParseOptions({"--log=", "10.0.0.1"}, options, read), "--log needs a value");
    EXPECT_EQ(ParseOptions({"-f", "other.txt"}, options, read), "-f other.txt: no such file");
    EXPECT_EQ(options.servers.size(), 4u) << "a refused command line leaves the options alone";
    ASSERT_EQ(ParseOptions({"-r", "0", "10.0.0.1"}, options, read), "");
    EXPECT_EQ(options.reprobes, 0);
    EXPECT_EQ(PacedPeriodMs(options), kResponderIntervalMs);
    // Two servers on one address, each asked up to three times a round.
    ASSERT_EQ(ParseOptions({"-r", "2", "10.0.0.1:1", "10.0.0.2", "10.0.0.1:2"}, options, read), "");
    EXPECT_EQ(PacedPeriodMs(options), 6 * kResponderIntervalMs);
}

TEST(ProbeSummary, RoundsGiveMinimumMedianMaximumAndTheRankingPutsSilentServersLast)
{
    Server near{"127.0.0.2", 5000}, loaded{"127.0.0.3", 5000}, silent{"127.0.0.4", 5000}, late{"127.0.0.5", 5000};
    Summary summary({silent, loaded, near, late});
    // The detector ranks the silent server (5000 x 100) before the late (6000 x 100)
    // and the loaded one (11 x 100000); lrdprobe does not.
    summary.AddRound({Record("127.0.0.2", 5000, 10, 50), Record("127.0.0.4", 5000, 5000, 100),
                      Record("127.0.0.5", 5000, 5000, 100), Record("127.0.0.3", 5000, 10, 100000)},
                     {{"127.0.0.2", 5000, 10}, {"127.0.0.3", 5000, 10}});
    // A reply after the sink's 5000 ms window changes the record without a report,
    // so nothing tells which port it came from: it does not count.
    summary.AddRound({Record("127.0.0.2", 5000, 21, 50), Record("127.0.0.4", 5000, 5000, 100),
                      Record("127.0.0.3", 5000, 12, 100000), Record("127.0.0.5", 5000, 6000, 100)},
                     {{"127.0.0.2", 5000, 21}, {"127.0.0.3", 5000, 12}});

    std::vector<Row> rows = summary.Ranked();
    EXPECT_EQ(Order(rows), "127.0.0.2:5000 127.0.0.3:5000 127.0.0.4:5000(silent) 127.0.0.5:5000(silent) ");
    EXPECT_EQ(rows[0].rttMin, 10u);
    EXPECT_EQ(rows[0].rttMedian, 15.5);
    EXPECT_EQ(rows[0].rttMax, 21u);
    EXPECT_EQ(rows[0].replies, 2u);
    EXPECT_EQ(rows[1].replies, 2u);
    EXPECT_EQ(rows[1].rttMedian, 11.0);
    EXPECT_EQ(rows[3].replies, 0u);
    EXPECT_TRUE(summary.AnyAnswered());
}

// Three servers on one address with loads 10, 1000 and 300: each takes the load
// of the record of its own port, whatever the order of the records and of the
// servers given, and a dead port's record stays its own.
TEST(ProbeSummary, EachServerTakesTheLoadOfTheRecordOfItsOwnPort)
{
    Server light{"127.0.0.95", 9600}, busy{"127.0.0.95", 9601}, middle{"127.0.0.95", 9602}, dead{"127.0.0.95", 9603};
    Summary summary({busy, dead, middle, light});
    summary.AddRound({Record("127.0.0.95", 9600, 2, 10), Record("127.0.0.95", 9602, 2, 300),
                      Record("127.0.0.95", 9601, 2, 1000), Record("127.0.0.95", 9603, 2, 100)},
                     {{"127.0.0.95", 9601, 2}, {"127.0.0.95", 9602, 2}, {"127.0.0.95", 9600, 2}, {"127.0.0.9", 7000, 1}});
    std::vector<Row> rows = summary.Ranked();
    EXPECT_EQ(Order(rows), "127.0.0.95:9600 127.0.0.95:9602 127.0.0.95:9601 127.0.0.95:9603(silent) ");
    EXPECT_EQ(rows[0].load, 10u);
    EXPECT_EQ(rows[1].load, 300u);
    EXPECT_EQ(rows[2].load, 1000u);
    EXPECT_FALSE(summary.Listed({"127.0.0.9", 7000, 1}));
    EXPECT_TRUE(summary.Listed({"127.0.0.95", 9603, 1}));

    Summary none({light});
    none.AddRound({Record("127.0.0.95", 9600, 5000, 100)}, {});
    EXPECT_FALSE(none.AnyAnswered());
}

TEST(ProbeOptions, HostNamesBecomeTheirAddressesAndAddressesNoServerCanHaveAreRefused)
{
    auto read = [](const std::string&, std::string&) { return std::string("no such file"); };
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
        {"fe80::1%eth0", "server 'fe80::1%eth0': IPv6 is not supported by the probe protocol"},
        {"http://127.0.0.2:47810", "server 'http://127.0.0.2:47810': a URL is not an address: give ADDRESS[:PORT] "
                                   "or HOSTNAME[:PORT]"},
        {"127.0.0.2:08000", "server '127.0.0.2:08000': port '08000' has a leading zero"},
        {"1.2.3", "server '1.2.3': '1.2.3' is not a dotted IPv4 address or a host name"},
        {"0x7f.1", "server '0x7f.1': '0x7f.1' is not a dotted IPv4 address or a host name"},
        {"-bad.example", "unknown option '-b' in '-bad.example'"},
        {"bad-.example", "server 'bad-.example': 'bad-.example' is not a dotted IPv4 address or a host name"},
        {"zero.example", "server 'zero.example': 'zero.example' resolves to 0.0.0.0, which cannot be a server (the "
                         "unspecified address)"},
    };
    for (const auto& c : refused)
        EXPECT_EQ(ParseOptions({"127.0.0.4", c.argument}, options, read, resolve), c.message);
    EXPECT_EQ(options.servers.size(), 3u) << "a refused command line leaves the options alone";

    // A name that does not resolve is reported and the rest is probed.
    ASSERT_EQ(ParseOptions({"none.example", "127.0.0.4"}, options, read, resolve), "");
    EXPECT_EQ(options.servers.size(), 1u);
    EXPECT_EQ(options.unresolved, 1u);
    EXPECT_EQ(options.warnings,
              std::vector<std::string>{"server 'none.example': cannot resolve 'none.example': No such host is known."});
    // Alone, it leaves nothing to probe, which is the name's fault, not the
    // command line's.
    ASSERT_EQ(ParseOptions({"none.example"}, options, read, resolve), "");
    EXPECT_TRUE(options.servers.empty());
    EXPECT_EQ(options.unresolved, 1u);
}

// fping's habits on the command line, and list files with everything wrong
// reported at once.
TEST(ProbeOptions, CombinedShortOptionsEndOfOptionsDuplicatesAndEveryBadFileLine)
{
    // A byte order mark before a sound first line, then 22 bad lines.
    std::string bad = "\xEF\xBB\xBF" "127.0.0.2\n";
    for (int line = 2; line <= 23; ++line)
        bad += line % 8 == 0 ? "127.0.0.3:7 127.0.0.4:8\n" : "1.2.3\n";
    auto read = [&](const std::string& name, std::string& text) {
        text = name == "bad.txt" ? bad : "\xEF\xBB\xBF" "127.0.0.2 # first\n127.0.0.3\n";
        return std::string();
    };
    auto resolve = [](const std::string& name, std::vector<uint32_t>& addresses) -> std::string {
        addresses = {0x7F000002};
        return {};
    };
    Options options;
    ASSERT_EQ(ParseOptions({"-qasC5", "-t500", "-p", "0", "-f", "bom.txt", "--", "127.0.0.4", "local.example"},
                           options, read, resolve),
              "");
    EXPECT_TRUE(options.quiet && options.onlyAnswering && options.stats && options.samples);
    EXPECT_EQ(options.rounds, 5u);
    EXPECT_EQ(options.timeLimitMs, 500u);
    EXPECT_EQ(options.periodMs, 0u);
    EXPECT_EQ(options.confidenceGoal, 0.0);
    ASSERT_EQ(ParseOptions({"--confidence", ".95", "127.0.0.2"}, options, read), "");
    EXPECT_EQ(options.confidenceGoal, 0.95);
    EXPECT_EQ(options.rounds, kConfidenceRounds) << "without -c, --confidence has a cap of its own";
    EXPECT_EQ(options.tolerance, kDefaultTolerance);
    EXPECT_FALSE(options.allRounds);
    ASSERT_EQ(ParseOptions({"-c", "7", "--confidence=0.9999", "--tolerance", "0.0", "--all-rounds", "127.0.0.2"},
                           options, read),
              "");
    EXPECT_EQ(options.rounds, 7u);
    EXPECT_EQ(options.tolerance, 0.0);
    EXPECT_TRUE(options.allRounds);
    ASSERT_EQ(ParseOptions({"-V"}, options, read), "");
    EXPECT_TRUE(options.version);
    ASSERT_EQ(ParseOptions({"-qasC5", "-t500", "-p", "0", "-f", "bom.txt", "--", "127.0.0.4", "local.example"},
                           options, read, resolve),
              "");
    ASSERT_EQ(options.servers.size(), 3u) << "local.example is 127.0.0.2 again";
    EXPECT_EQ(options.servers[2].address, "127.0.0.4");
    EXPECT_EQ(options.warnings, std::vector<std::string>{"127.0.0.2:8000 (local.example) is given more than once: "
                                                         "probed once"});

    // Entries given again are named up to the limit, then counted.
    std::vector<std::string> again(26, "127.0.0.9");
    ASSERT_EQ(ParseOptions(again, options, read, resolve), "");
    EXPECT_EQ(options.servers.size(), 1u);
    ASSERT_EQ(options.warnings.size(), kMaxReportedProblems + 1);
    EXPECT_EQ(options.warnings.back(), "5 more entries given more than once: each probed once");

    const struct {
        std::vector<std::string> args;
        std::string message;
    } refused[] = {
        {{"-qx", "127.0.0.2"}, "unknown option '-x'"},
        {{"-c", "2", "-C3", "127.0.0.2"}, "-c and -C given together"},
        {{"-a", "-u", "127.0.0.2"}, "-a and -u exclude each other"},
        {{"--", "-q"}, "server '-q': '-q' is not a dotted IPv4 address or a host name"},
        {{"-t5001", "127.0.0.2"}, "-t '5001' is not a number from 1 to 5000"},
        {{"--confidence=1", "127.0.0.2"}, "--confidence '1' is not a probability from 0.5 to 0.9999"},
        {{"--confidence", "0.99999", "127.0.0.2"}, "--confidence '0.99999' is not a probability from 0.5 to 0.9999"},
        {{"--confidence", "1e-1", "127.0.0.2"}, "--confidence '1e-1' is not a probability from 0.5 to 0.9999"},
        {{"--tolerance", "5", "127.0.0.2"}, "--tolerance '5' is not a share from 0.0 to 0.5"},
        {{"--tolerance=0.6", "127.0.0.2"}, "--tolerance '0.6' is not a share from 0.0 to 0.5"},
        {{"\xEF\xBB\xBF" "127.0.0.2"}, "server '\\xEF\\xBB\\xBF127.0.0.2': '\\xEF\\xBB\\xBF127.0.0.2' is not a "
                                       "dotted IPv4 address or a host name"},
    };
    for (const auto& c : refused)
        EXPECT_EQ(ParseOptions(c.args, options, read, resolve), c.message) << c.args[0];

    // Every bad line up to the limit, in order, then a count of the rest.
    std::string problems = ParseOptions({"-f", "bad.txt"}, options, read, resolve);
    std::vector<std::string> lines;
    std::istringstream split(problems);
    for (std::string line; std::getline(split, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), kMaxReportedProblems + 1) << problems;
    EXPECT_EQ(lines[0], "bad.txt line 2: server '1.2.3': '1.2.3' is not a dotted IPv4 address or a host name");
    EXPECT_EQ(lines[6], "bad.txt line 8: server '127.0.0.3:7 127.0.0.4:8': holds blanks: give one server an "
                        "argument or a line");
    EXPECT_EQ(lines.back(), "bad.txt: 2 more lines like these");
}

// Servers that share addresses and ports, answering with short and long replies
// over three rounds: a server answers only by a reply from its own address and
// port, with that reply's time.
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
        summary.AddRound({Record("127.0.0.8", 47900, round == 1 ? 1 : 5000, round == 1 ? 2 : 100),
                          Record("127.0.0.6", 47999, 4, 100), Record("127.0.0.6", 47900, 4, 100),
                          Record("127.0.0.7", 47900, 30, 90), Record("127.0.0.7", 47900, 30, 90),
                          Record("127.0.0.9", 47900, 400, 2)},
                         replies);
    }
    std::vector<Row> rows = summary.Ranked();
    // flaky answered one round of three, but at 1 ms and load 2 its expected
    // time with retries (1.31 ms: two lost of 15 rounds are no proof that it
    // loses more than the others, and a client asks again after 2 ms) times its
    // load is still the smallest score.
    EXPECT_EQ(Order(rows), "127.0.0.8:47900 127.0.0.6:47900 127.0.0.9:47900 127.0.0.7:47900 127.0.0.7:47900 "
                           "127.0.0.6:47999(silent) ");
    EXPECT_EQ(rows[0].replies, 1u);
    EXPECT_EQ(rows[0].load, 2u);
    EXPECT_NEAR(rows[0].standing.expectedMs, 1 + 2 * (2.0 / 13), 0.01);
    EXPECT_EQ(rows[1].rttMedian, 4.0);
    EXPECT_EQ(rows[3].replies, 3u);
    EXPECT_EQ(rows[5].replies, 0u);
    EXPECT_FALSE(summary.Listed({"127.0.0.6", 47901, 1}));

    RunInfo run;
    run.roundsAsked = run.roundsDone = 3;
    std::string table = FormatTable(rows, run);
    EXPECT_NE(table.find("  expect ms  load  score  replies    loss\n"), std::string::npos) << table;
    EXPECT_NE(table.find("  1/3   66.7%\n"), std::string::npos) << table;
    EXPECT_NE(table.find("  -      -      0/3  100.0%\n"), std::string::npos) << table;
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
        records.push_back(
            Record(servers[i].address.c_str(), servers[i].port, answers ? i % 97 : 5000, answers ? 1 + i % 5 : 100));
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

// The cases that the first ranking (more rounds answered first, then the product
// of median and load) got wrong, and some it got right, under both rules.
TEST(ProbeRanking, ExpectedTimeWeighsLossAgainstDelayAndLoadAlwaysCounts)
{
    const struct {
        const char* what;
        std::vector<ServerRounds> servers;
        std::vector<size_t> expected, repliesFirst;
    } cases[] = {
        {"two lost of 1000 at 0 ms cost less than a whole millisecond",
         {Rounds(0, 1000, 2, 100), Rounds(1, 1000, 0, 100), Rounds(3, 1000, 0, 100)}, {0, 1, 2}, {1, 2, 0}},
        {"one lost of 10 at 5 ms beats 300 ms", {Rounds(300, 10, 0, 100), Rounds(5, 10, 1, 100)}, {1, 0}, {0, 1}},
        {"below 1 ms the load still counts", {Rounds(0, 1, 0, 100000), Rounds(1, 1, 0, 1)}, {1, 0}, {0, 1}},
        {"a steady loss outweighs 5 ms", {Rounds(10, 20, 10, 100), Rounds(15, 20, 0, 100)}, {1, 0}, {1, 0}},
        {"a loss every server shares never decides: lucky rounds do not outweigh a 50 % margin",
         {Rounds(45, 5, 0, 4), Rounds(30, 5, 3, 4), Rounds(60, 5, 1, 4), Rounds(50, 5, 1, 4), Rounds(70, 5, 2, 4),
          Rounds(55, 5, 1, 4), Rounds(80, 5, 0, 4), Rounds(65, 5, 1, 4)},
         {1, 0, 3, 5, 2, 7, 4, 6}, {0, 6, 3, 5, 2, 7, 4, 1}},
        {"the one that truly loses more pays, and one lost of 20 outweighs 1 ms of 15",
         {Rounds(10, 20, 10, 100), Rounds(14, 20, 0, 100), Rounds(15, 20, 1, 100), Rounds(16, 20, 0, 100)},
         {1, 3, 2, 0}, {1, 3, 2, 0}},
        {"a loss every server shares never decides between loads, jitter or not",
         {Jittered(30, 1, 4), Jittered(132, 1, 1)}, {0, 1}, {0, 1}},
        {"the silent last, equals in their order",
         {Rounds(7, 3, 3, 100), Rounds(7, 3, 0, 100), Rounds(7, 3, 0, 100)}, {1, 2, 0}, {1, 2, 0}},
        {"equal scores: the smaller load", {Rounds(20, 1, 0, 10), Rounds(2, 1, 0, 100)}, {0, 1}, {0, 1}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RankServers(c.servers), c.expected) << c.what;
        EXPECT_EQ(RankRepliesFirst(c.servers), c.repliesFirst) << c.what;
    }

    // One server at 10 ms answering 9 of 10 rounds beside one that lost 2: shares
    // no farther apart than chance takes them, so both carry the pooled 3/20, and
    // a client asks again after twice the median.
    LossPrior alike = FitLossPrior({Rounds(10, 10, 1, 100), Rounds(20, 10, 2, 100)});
    EXPECT_TRUE(std::isinf(alike.weight));
    Standing standing = Assess(Rounds(10, 10, 1, 100), alike);
    EXPECT_EQ(standing.replies, 9u);
    EXPECT_DOUBLE_EQ(standing.lossShare, 0.1);
    EXPECT_DOUBLE_EQ(standing.lossEstimate, 0.15);
    EXPECT_DOUBLE_EQ(standing.retryMs, 20);
    EXPECT_DOUBLE_EQ(standing.expectedMs, 10 + 20 * 0.15 / 0.85);
    EXPECT_DOUBLE_EQ(standing.score, standing.expectedMs * 100);
    // 1 and 9 of 10 lost are farther apart: each leans on the pool by the weight.
    LossPrior apart = FitLossPrior({Rounds(10, 10, 1, 100), Rounds(20, 10, 9, 100)});
    ASSERT_TRUE(std::isfinite(apart.weight));
    EXPECT_DOUBLE_EQ(Assess(Rounds(10, 10, 1, 100), apart).lossEstimate,
                     (1 + apart.weight * 0.5) / (10 + apart.weight));
}

// The chance that rank 1 is within the tolerance of the best: near certain when
// the rounds set it far apart, but never certain, not even after one round far
// apart; a coin between twins asked for the best alone, and near certain for
// twins within the tolerance; open after a single round of close servers. The
// draws that say so also say which servers later rounds may leave out.
TEST(ProbeRanking, ConfidenceFollowsTheSeparationTheRoundsShow)
{
    ServerRounds steady10 = Rounds(10, 5, 0, 100), steady30 = Rounds(30, 5, 0, 100);
    ServerRounds jittery10, jittery11;
    jittery10.samples = {2, 18, 10, 6, 14};
    jittery11.samples = {3, 19, 11, 7, 15};
    const struct {
        const char* what;
        std::vector<ServerRounds> servers;
        size_t first;
        double tolerance, low, high;
        std::vector<bool> hopeless;  // below kDropBelow
    } cases[] = {
        {"far apart", {steady30, steady10}, 1, kDefaultTolerance, 0.999, 0.99999, {true, false}},
        {"one round far apart", {Rounds(11, 1, 0, 100), Rounds(901, 1, 0, 100)}, 0, kDefaultTolerance, 0.99, 0.9995,
         {false, true}},
        {"twins, the best asked for", {steady10, steady10}, 0, 0, 0.45, 0.55, {false, false}},
        {"twins 200 ms away within 5 %", {Rounds(200, 6, 0, 100), Rounds(200, 6, 0, 100)}, 0, 0.05, 0.99, 0.9999,
         {false, false}},
        {"1 ms apart behind 16 ms of jitter", {jittery11, jittery10}, 1, kDefaultTolerance, 0.5, 0.8, {false, false}},
        {"one round of 10 and 12 ms", {Rounds(12, 1, 0, 100), Rounds(10, 1, 0, 100)}, 1, kDefaultTolerance, 0.5, 0.8,
         {false, false}},
        {"the only one that answered, beside one silent for 3 rounds that may only be unlucky",
         {Rounds(10, 3, 3, 100), steady10}, 1, kDefaultTolerance, 0.99, 0.999, {false, false}},
        {"the only one of them", {steady10}, 0, kDefaultTolerance, 1, 1, {false}},
        {"rank 1 never answered", {Rounds(10, 3, 3, 100)}, 0, kDefaultTolerance, -1, -1, {true}},
        {"a server 1 ms faster that loses half", {Rounds(9, 20, 10, 100), Rounds(10, 20, 0, 100)}, 1,
         kDefaultTolerance, 0.99, 1, {true, false}},
    };
    for (const auto& c : cases) {
        std::vector<double> contending;
        double confidence = Confidence(c.servers, c.first, c.tolerance, &contending);
        EXPECT_GE(confidence, c.low) << c.what;
        EXPECT_LE(confidence, c.high) << c.what;
        std::vector<double> again;
        EXPECT_EQ(Confidence(c.servers, c.first, c.tolerance, &again), confidence) << c.what << ": the draws are seeded";
        ASSERT_EQ(contending.size(), c.servers.size()) << c.what;
        for (size_t i = 0; i < contending.size(); ++i)
            EXPECT_EQ(contending[i] < kDropBelow, c.hopeless[i]) << c.what << ", server " << i << ": " << contending[i];
    }
}

// Six rounds of a run interrupted in its sixth of ten: the per-round times and
// the interruption in every format, the bars with gaps for lost rounds, and the
// selections of -a and -u.
TEST(ProbeSummary, PerRoundTimesAndTheInterruptionShowInEveryFormat)
{
    Server steady{"127.0.0.2", 5000}, lossy{"127.0.0.3", 5000}, silent{"127.0.0.4", 5000};
    Summary summary({silent, lossy, steady});
    const uint32_t steadyTimes[] = {10, 12, 11, 30, 10, 10};
    const uint32_t lossyTimes[] = {20, kLost, 40, 30, kLost, 20};
    RunInfo run;
    run.roundsAsked = 10;
    run.interrupted = run.lastRoundCut = true;
    for (int r = 0; r < 6; ++r) {
        std::vector<Reply> replies = {{"127.0.0.2", 5000, steadyTimes[r]}};
        if (lossyTimes[r] != kLost)
            replies.push_back({"127.0.0.3", 5000, lossyTimes[r]});
        summary.AddRound({Record("127.0.0.2", 5000, steadyTimes[r], 10), Record("127.0.0.3", 5000, 20, 10),
                          Record("127.0.0.4", 5000, 5000, 100)},
                         replies);
        run.roundTimes.push_back({"2026-12-08T08:00:0" + std::to_string(r) + ".000Z", 7});
    }
    run.roundsDone = summary.Rounds();
    run.confidence = 0.97329;
    run.confidenceGoal = 0.99;
    std::vector<Row> rows = summary.Ranked();
    ASSERT_EQ(Order(rows), "127.0.0.2:5000 127.0.0.3:5000 127.0.0.4:5000(silent) ");

    const struct {
        std::string text, fragment;
    } shown[] = {
        {FormatTable(rows, run), "  rounds\n"},
        {FormatTable(rows, run), "  0.0%  \u2583\u2583\u2583\u2587\u2583\u2583\n"},
        {FormatTable(rows, run), "  33.3%  \u2585 \u2588\u2587 \u2585\n"},
        {FormatTable(rows, run), "  100.0%\n"},
        {FormatTable(rows, run), "\ninterrupted after 6 of 10 rounds, the last cut short\n"},
        {FormatTable(rows, run, true), "\n127.0.0.2:5000 : 10 12 11 30 10 10\n127.0.0.3:5000 : 20 - 40 30 - 20\n"
                                       "127.0.0.4:5000 : - - - - - -\nconfidence 97.3% that rank 1 is within 5% of the best: "
                                       "--confidence 99% not reached in 6 rounds\ninterrupted"},
        {FormatCsv(rows, run), ",name,expected_ms,rounds_asked,interrupted,rtts_ms,confidence,tied,dropped_after_round,"
                               "load_default\n1,127.0.0.2,5000,true,10,10.5,30,"},
        {FormatCsv(rows, run), ",10,true,20 - 40 30 - 20,0.9732,false,,false\n3,127.0.0.4,5000,false,,,,,,0,6,100.0,,,"
                               "10,true,- - - - - -,0.9732,false,,false\n"},
        {FormatJson(rows, run), "\"rounds\": 6,\n  \"rounds_asked\": 10,\n  \"interrupted\": true,\n  "
                                "\"last_round_cut\": true,\n  \"confidence\": 0.9732,\n  \"confidence_goal\": 0.9900,\n"
                                "  \"confidence_reached\": false,"},
        {FormatJson(rows, run), "{\"round\": 6, \"start\": \"2026-12-08T08:00:05.000Z\", \"duration_ms\": 7}\n  ],"},
        {FormatJson(rows, run), "\"loss_percent\": 33.3, \"samples_ms\": [20, null, 40, 30, null, 20]}"},
        {FormatStats(rows, run, 1, 1234), "        3 servers\n        2 answered\n        1 silent\n        1 unresolved\n"
                                          "        6 rounds done of 10 (interrupted)\n    1.234 s elapsed\n"},
    };
    for (const auto& c : shown)
        EXPECT_NE(c.text.find(c.fragment), std::string::npos) << "lacks:\n" << c.fragment << "\nin:\n" << c.text;

    EXPECT_EQ(Order(Select(rows, true, false)), "127.0.0.2:5000 127.0.0.3:5000 ");
    std::vector<Row> silentOnly = Select(rows, false, true);
    ASSERT_EQ(silentOnly.size(), 1u);
    EXPECT_EQ(silentOnly[0].rank, 3u);

    std::string html = FormatHtml(rows, run);
    EXPECT_EQ(html.find("://"), std::string::npos);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    size_t lost = 0;
    for (size_t at = html.find("class=lost"); at != std::string::npos; at = html.find("class=lost", at + 1))
        ++lost;
    EXPECT_EQ(lost, 8u) << "two lost rounds of one server, six of the silent one";
    EXPECT_NE(html.find("<strong>Interrupted</strong>, the last round cut short."), std::string::npos);
    EXPECT_NE(html.find(">confidence 97.3% that rank 1 is within 5% of the best: --confidence 99% not reached in 6 rounds.<"),
              std::string::npos);
}

// Twins 200 ms away and a server at 900 ms under --confidence: after one round
// the far one has no chance left of being within the tolerance of the best and
// is asked no more, keeps its figures and says after which round it was left
// out; the twins are named tied.
TEST(ProbeSummary, AHopelessServerIsLeftOutOfLaterRoundsAndTwinsAreNamedTied)
{
    Server first{"127.0.0.2", 5000}, twin{"127.0.0.3", 5000}, far{"127.0.0.4", 5000};
    Summary summary({first, twin, far});
    for (int r = 0; r < 3; ++r) {
        std::vector<Reply> replies;
        for (const Server& server : summary.Contenders())
            replies.push_back({server.address, 5000, server.address == far.address ? 900u : 200u + (r == 1)});
        summary.AddRound({Record("127.0.0.2", 5000, 200, 50), Record("127.0.0.3", 5000, 200, 50),
                          Record("127.0.0.4", 5000, 900, 50)},
                         replies);
        std::vector<double> contending;
        summary.Confidence(&contending);
        summary.DropHopeless(contending);
        ASSERT_EQ(summary.Contenders().size(), 2u) << "round " << r + 1;
    }
    RunInfo run;
    run.roundsDone = run.roundsAsked = 3;
    run.confidence = summary.Confidence();
    std::vector<Row> rows = summary.Ranked();
    ASSERT_EQ(Order(rows), "127.0.0.2:5000 127.0.0.3:5000 127.0.0.4:5000 ");
    EXPECT_EQ(rows[2].samples, std::vector<uint32_t>{900});
    EXPECT_EQ(rows[2].droppedAfter, 1u);
    EXPECT_TRUE(rows[1].tied && !rows[2].tied);
    std::string table = FormatTable(rows, run);
    EXPECT_NE(table.find(" 1/1  0.0%  after 1\n"), std::string::npos) << table;
    EXPECT_NE(table.find("\ntied with rank 1 within 5%: 127.0.0.3:5000\n"), std::string::npos) << table;
    EXPECT_NE(FormatJson(rows, run).find("\"tied\": false, \"dropped_after_round\": 1,"), std::string::npos);
}

// Ctrl-C 40 ms into a round of 1000: the server 300 ms away had not missed its
// reply, so the round does not count for it, and no loss reaches the others.
TEST(ProbeSummary, ARoundCutInTimeCountsOnlyTheServersThatAnswered)
{
    Server near{"127.0.0.2", 5000}, far{"127.0.0.3", 5000};
    Summary summary({near, far});
    summary.AddRound({Record("127.0.0.2", 5000, 10, 100), Record("127.0.0.3", 5000, 300, 100)},
                     {{"127.0.0.2", 5000, 10}, {"127.0.0.3", 5000, 300}});
    summary.AddRound({Record("127.0.0.2", 5000, 10, 100), Record("127.0.0.3", 5000, 5000, 100)},
                     {{"127.0.0.2", 5000, 10}}, true);
    std::vector<Row> rows = summary.Ranked();
    ASSERT_EQ(Order(rows), "127.0.0.2:5000 127.0.0.3:5000 ");
    EXPECT_EQ(rows[1].samples, std::vector<uint32_t>{300});
    EXPECT_EQ(rows[1].LossPercent(), 0.0);
    EXPECT_EQ(rows[0].standing.expectedMs, 10.0);
    RunInfo run;
    run.roundsDone = 2;
    EXPECT_NE(FormatTable(rows, run).find("  1/1  0.0%\n"), std::string::npos) << FormatTable(rows, run);
}

// One scale for every server: 10/10/11 ms looks as steady beside 10 to 16 ms as
// it is, an outlier of 95 ms flattens nothing and is marked, a slow server makes
// the scale logarithmic, and 300 rounds fit the strip's width.
TEST(ProbeReport, OneScaleForAllServersOutliersMarkedAndLongRunsBinned)
{
    Server steady{"127.0.0.2", 5000}, wide{"127.0.0.3", 5000}, slow{"127.0.0.4", 5000};
    Summary summary({steady, wide, slow});
    for (uint32_t r = 0; r < 300; ++r)
        summary.AddRound({Record("127.0.0.2", 5000, 10, 10), Record("127.0.0.3", 5000, 10, 10),
                          Record("127.0.0.4", 5000, 300, 10)},
                         {{"127.0.0.2", 5000, r == 290 ? 95u : 10 + r % 3 / 2}, {"127.0.0.3", 5000, 10 + r % 7},
                          {"127.0.0.4", 5000, 300}});
    RunInfo run;
    run.roundsAsked = run.roundsDone = summary.Rounds();
    std::vector<Row> rows = summary.Ranked();
    std::vector<Row> fast = Select(rows, false, false);
    fast.pop_back();

    TimeScale scale = ScaleOf(fast);
    EXPECT_FALSE(scale.logarithmic);
    EXPECT_EQ(scale.high, 16) << "95 ms is an outlier of its server";
    EXPECT_EQ(scale.Level(10), scale.Level(11) - 1 / 16.0);
    std::string table = FormatTable(fast, run);
    EXPECT_EQ(table.find("\u25B2"), table.rfind("\u25B2")) << table;
    EXPECT_NE(table.find("\u25B2"), std::string::npos) << table;
    EXPECT_EQ(ScaleOf(rows).Text(), "log, 5 to 300 ms");

    std::string html = FormatHtml(fast, run);
    size_t strips = 0, clipped = 0;
    for (size_t at = html.find("<svg class=strip width=\"300\""); at != std::string::npos;
         at = html.find("<svg class=strip width=\"300\"", at + 1))
        ++strips;
    for (size_t at = html.find("class=clip"); at != std::string::npos; at = html.find("class=clip", at + 1))
        ++clipped;
    EXPECT_EQ(strips, 2u) << "60 bins of 5 px";
    EXPECT_EQ(clipped, 1u);
}
