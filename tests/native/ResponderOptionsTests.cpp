// The command line of lrdresponder.
#include <gtest/gtest.h>

#include "ResponderOptions.h"

using namespace lrdresponder;

namespace {

std::string Parse(std::vector<std::string> args, Options& options)
{
    return ParseOptions(args, options);
}

}  // namespace

TEST(ResponderOptions, ReadsEveryOptionInAnyPositionAndKeepsThePortOrder)
{
    Options options;
    ASSERT_EQ(Parse({"7000", "--load", "4294967295", "--bind", "127.0.0.2", "6000", "--delay", "60000"}, options), "");
    EXPECT_EQ(options.bindAddress, 0x7F000002u);
    EXPECT_EQ(options.load, 4294967295u);
    EXPECT_EQ(options.delayMs, 60000u);
    EXPECT_EQ(options.ports, (std::vector<uint16_t>{7000, 6000}));

    ASSERT_EQ(Parse({"1", "65535"}, options), "");
    EXPECT_EQ(options.bindAddress, 0u);
    EXPECT_FALSE(options.load);
    EXPECT_EQ(options.delayMs, 0u);
    EXPECT_EQ(options.loadFile, "");
    EXPECT_EQ(options.rateLimit, 100u);
    EXPECT_EQ(options.rateBurst, 200u);
    EXPECT_EQ(options.statsIntervalS, 0u);

    ASSERT_EQ(Parse({"--rate-limit", "50/5", "--load-file", "/run/load", "--stats-interval", "86400", "1"}, options), "");
    EXPECT_EQ(options.rateLimit, 50u);
    EXPECT_EQ(options.rateBurst, 5u);
    EXPECT_EQ(options.loadFile, "/run/load");
    EXPECT_EQ(options.statsIntervalS, 86400u);
    // The burst of a lone N stays within the range a BURST may be given in.
    ASSERT_EQ(Parse({"--rate-limit", "1000000", "1"}, options), "");
    EXPECT_EQ(options.rateBurst, 1000000u);
    ASSERT_EQ(Parse({"--rate-limit", "0", "1"}, options), "");
    EXPECT_EQ(options.rateLimit, 0u);

    ASSERT_EQ(Parse({"--load", "0", "1"}, options), "");
    EXPECT_EQ(options.load, 0u);
    ASSERT_EQ(Parse({"--help"}, options), "");
    EXPECT_TRUE(options.help);
    ASSERT_EQ(Parse({"--version"}, options), "");
    EXPECT_TRUE(options.version);

    ASSERT_EQ(Parse({"--metrics-file", "/run/m.prom", "--load-log-step", "5", "--quiet-load", "--rcvbuf", "4096",
                     "--user", "nobody", "1"},
                    options),
              "");
    EXPECT_EQ(options.metricsFile, "/run/m.prom");
    EXPECT_EQ(options.loadLogStep, 5u);
    EXPECT_TRUE(options.quietLoad);
    EXPECT_EQ(options.receiveBuffer, 4096u);
    EXPECT_EQ(options.user, "nobody");

    ASSERT_EQ(Parse({"127.0.0.2:65535", "--check", "--warning", "5", "--critical", "@5:9,~:%", "10.1.2.3"}, options),
              "");
    EXPECT_TRUE(options.check);
    EXPECT_EQ(options.warningRtt.text + " " + options.warningLoss.text, "5 20");
    EXPECT_EQ(options.criticalRtt.text + " " + options.criticalLoss.text, "@5:9 ~:");
    EXPECT_EQ(options.probes, 5u);
    EXPECT_EQ(options.timeoutS, 10u);
    EXPECT_EQ(options.checkServers,
              (std::vector<std::pair<uint32_t, uint16_t>>{{0x7F000002u, 65535}, {0x0A010203u, 8000}}));
    // The short forms; -p is the port of every address given without one,
    // wherever it stands.
    ASSERT_EQ(Parse({"--check", "-H", "10.1.2.3", "-w", ",10%", "-c", "300", "-n", "100", "-t", "60", "10.0.0.1:9",
                     "-p", "7"},
                    options),
              "");
    EXPECT_EQ(options.warningRtt.text + " " + options.warningLoss.text, "200 10");
    EXPECT_EQ(options.criticalRtt.text + " " + options.criticalLoss.text, "300 60");
    EXPECT_EQ(options.probes, 100u);
    EXPECT_EQ(options.timeoutS, 60u);
    EXPECT_EQ(options.checkServers,
              (std::vector<std::pair<uint32_t, uint16_t>>{{0x0A010203u, 7}, {0x0A000001u, 9}}));
    ASSERT_EQ(Parse({"--check", "-V"}, options), "");
    EXPECT_TRUE(options.version);
    ASSERT_EQ(Parse({"--metrics-interval", "1", "-V", "5"}, options), "");
    EXPECT_EQ(options.metricsIntervalS, 1u);
    EXPECT_TRUE(options.version);
}

// Which values raise the alert: the ends belong to the range, "@" turns it
// over, "~" and an empty end leave a side open.
TEST(ResponderOptions, ThresholdRangesAlertOutsideTheirEndsOrInsideAfterTheAt)
{
    const struct {
        const char* range;
        double value;
        bool alerts;
    } cases[] = {
        {"10", 10, false},      {"10", 10.001, true},  {"10", -0.5, true},     {"10:", 10, false},
        {"10:", 9.999, true},   {"10:", 1e12, false},  {"~:10", -1e12, false}, {"~:10", 10.5, true},
        {"10:200", 10, false},  {"10:200", 200, false}, {"10:200", 9, true},   {"10:200", 201, true},
        {"@10:20", 10, true},   {"@10:20", 20, true},  {"@10:20", 20.5, false}, {"@10:20", 9.5, false},
        {"~:", 1e12, false},    {"@~:", 0, true},      {":5", 0, false},       {"-1.5:2.25", -1.6, true},
    };
    for (const auto& c : cases) {
        ThresholdRange range;
        ASSERT_TRUE(ParseThresholdRange(c.range, range)) << c.range;
        EXPECT_EQ(range.Alerts(c.value), c.alerts) << c.range << " " << c.value;
    }
    for (const char* text : {"", "@", "~", "20:10", "1e3", "0x10", "1.", "abc", "10:20:30", "+5", " 5", "inf"}) {
        ThresholdRange range;
        EXPECT_FALSE(ParseThresholdRange(text, range)) << text;
    }
    EXPECT_EQ(FormatDecimal(300) + " " + FormatDecimal(12.3456) + " " + FormatDecimal(100.0 / 3) + " " +
                  FormatDecimal(0.0001),
              "300 12.346 33.333 0");
}

TEST(ResponderOptions, NamesTheFaultyArgumentAndLeavesTheOptionsAlone)
{
    auto kBadRate = [](const std::string& text) {
        return "--rate-limit: '" + text + "' is not N or N/BURST with N from 0 to 1000000 and BURST from 1 to 1000000";
    };
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{}, "no PORT given"},
        {{"0"}, "PORT: '0' is not a number from 1 to 65535"},
        {{"65536"}, "PORT: '65536' is not a number from 1 to 65535"},
        {{"80x"}, "PORT: '80x' is not a number from 1 to 65535"},
        {{"99999999999999999999"}, "PORT: '99999999999999999999' is not a number from 1 to 65535"},
        {{"5000", "5000"}, "PORT 5000 given twice"},
        {{"-5"}, "unknown option '-5'"},
        {{"--port", "5"}, "unknown option '--port'"},
        {{"--load", "4294967296", "5"}, "--load: '4294967296' is not a number from 0 to 4294967295"},
        {{"--load", "+1", "5"}, "--load: '+1' is not a number from 0 to 4294967295"},
        {{"--load", "1", "--load", "2", "5"}, "--load given twice"},
        {{"--delay", "60001", "5"}, "--delay: '60001' is not a number from 0 to 60000"},
        {{"--delay", "", "5"}, "--delay: '' is not a number from 0 to 60000"},
        {{"5", "--delay"}, "--delay needs a value"},
        {{"--bind", "1.2.3", "5"}, "--bind: '1.2.3' is not a dotted IPv4 address"},
        {{"--bind", "1.2.3.4.5", "5"}, "--bind: '1.2.3.4.5' is not a dotted IPv4 address"},
        {{"--bind", "256.1.1.1", "5"}, "--bind: '256.1.1.1' is not a dotted IPv4 address"},
        {{"--bind", "010.0.0.1", "5"}, "--bind: '010.0.0.1' is not a dotted IPv4 address"},
        {{"--bind", "1..2.3", "5"}, "--bind: '1..2.3' is not a dotted IPv4 address"},
        {{"--bind", "localhost", "5"}, "--bind: 'localhost' is not a dotted IPv4 address"},
        {{"--rate-limit", "0/5", "5"}, kBadRate("0/5")},
        {{"--rate-limit", "1000001", "5"}, kBadRate("1000001")},
        {{"--rate-limit", "5/0", "5"}, kBadRate("5/0")},
        {{"--rate-limit", "5/", "5"}, kBadRate("5/")},
        {{"--rate-limit", "/5", "5"}, kBadRate("/5")},
        {{"--rate-limit", "5/5/5", "5"}, kBadRate("5/5/5")},
        {{"--rate-limit", "1", "--rate-limit", "2", "5"}, "--rate-limit given twice"},
        {{"--stats-interval", "0", "5"}, "--stats-interval: '0' is not a number from 1 to 86400"},
        {{"--stats-interval", "86401", "5"}, "--stats-interval: '86401' is not a number from 1 to 86400"},
        {{"--load-file", "", "5"}, "--load-file: the path is empty"},
        {{"08000"}, "PORT: '08000' has a leading zero"},
        {{"--rcvbuf", "4095", "5"}, "--rcvbuf: '4095' is not a number from 4096 to 1073741824"},
        {{"--load-log-step", "0", "5"}, "--load-log-step: '0' is not a number from 1 to 4294967295"},
        {{"--user", "", "5"}, "--user: the name is empty"},
        {{"--check"}, "--check: no ADDRESS given"},
        {{"--check", "127.0.0.2:08000"}, "--check: the port of '127.0.0.2:08000': '08000' has a leading zero"},
        {{"--check", "127.0.0.2:"}, "--check: the port of '127.0.0.2:': '' is not a number from 1 to 65535"},
        {{"--check", "host:80"}, "--check: 'host:80' is not ADDRESS[:PORT] with a dotted IPv4 address"},
        {{"--check", "--load", "5", "1.2.3.4"}, "unknown option '--load' with --check"},
        {{"--check", "--critical", "1e3", "1.2.3.4"}, "--critical: '1e3' is not RTT[,LOSS%] of ranges [@]START:END"},
        {{"--check", "-w", "500:100", "1.2.3.4"}, "-w: '500:100' is not RTT[,LOSS%] of ranges [@]START:END"},
        {{"--check", "-w", "100,20", "1.2.3.4"}, "-w: '100,20' is not RTT[,LOSS%] of ranges [@]START:END"},
        {{"--check", "-c", "100,", "1.2.3.4"}, "-c: '100,' is not RTT[,LOSS%] of ranges [@]START:END"},
        {{"--check", "-w", "1", "--warning", "2", "1.2.3.4"}, "--warning given twice"},
        {{"--check", "-n", "0", "1.2.3.4"}, "-n: '0' is not a number from 1 to 100"},
        {{"--check", "-t", "61", "1.2.3.4"}, "-t: '61' is not a number from 1 to 60"},
        {{"--check", "-p", "08000", "1.2.3.4"}, "-p: '08000' has a leading zero"},
        {{"--check", "-H"}, "-H needs a value"},
        {{"--check", "--timeout=0", "1.2.3.4"}, "--timeout: '0' is not a number from 1 to 60"},
        {{"--check", "-w,70%", "1.2.3.4"}, "--check: the warning loss '70' reaches above the critical '60'"},
        {{"--metrics-interval", "0", "5"}, "--metrics-interval: '0' is not a number from 1 to 86400"},
        {{"--load-file", "a", "--load-file", "b", "5"}, "--load-file given twice"},
        {{"--load", "1", "--load-file", "a", "5"}, "--load and --load-file given together"},
    };
    for (const auto& [args, message] : cases) {
        Options options;
        options.delayMs = 123;
        EXPECT_EQ(Parse(args, options), message);
        EXPECT_EQ(options.delayMs, 123u);
        EXPECT_TRUE(options.ports.empty());
    }
}

TEST(ResponderOptions, AddressesReadAndPrintAsDottedText)
{
    uint32_t address = 1;
    ASSERT_TRUE(ParseAddress("0.0.0.0", address));
    EXPECT_EQ(address, 0u);
    ASSERT_TRUE(ParseAddress("255.254.10.0", address));
    EXPECT_EQ(address, 0xFFFE0A00u);
    EXPECT_EQ(FormatAddress(address), "255.254.10.0");
    EXPECT_EQ(FormatAddress(0x7F000002u), "127.0.0.2");
}
