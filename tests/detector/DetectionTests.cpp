// Whole detections over real UDP on loopback: scripted servers with addresses of
// their own answer the detector's requests while the test pumps messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "DebugCapture.h"
#include "DetectorHarness.h"
#include "LoopbackResponder.h"
#include "MessagePump.h"
#include "ScriptedResponder.h"
#include "TempFolder.h"

namespace {

uint32_t ReadLittleEndian32(const Bytes& bytes, size_t offset)
{
    return bytes[offset] | (bytes[offset + 1] << 8) | (bytes[offset + 2] << 16) | ((uint32_t)bytes[offset + 3] << 24);
}

class Detection : public ::testing::Test {
protected:
    Detection() : detector(harness.NewDetector()) {}

    void TearDown() override
    {
        if (detector != nullptr) {
            detector->Finalize();
            detector->Release(0);
        }
        EXPECT_EQ(harness.module.ZelvoDllCanUnloadNow(), 1);
        EXPECT_EQ(harness.Counters().allocations, harness.Counters().frees) << "receive buffers all returned";
    }

    ResponderServer Server(const char* address, const Behaviour& behaviour)
    {
        ResponderServer server = responder.AddServer(address);
        responder.SetBehaviour(server, behaviour);
        servers.Add(address, server.port);
        return server;
    }

    static Behaviour Answering(unsigned delayMs, size_t length = 16, uint32_t load = 0)
    {
        Behaviour behaviour;
        behaviour.delayMs = delayMs;
        behaviour.length = length;
        if (length > 16)
            behaviour.load = load;
        return behaviour;
    }

    static Behaviour Silent()
    {
        Behaviour behaviour;
        behaviour.answer = false;
        return behaviour;
    }

    // Reports per address:port.
    std::map<std::string, std::vector<uint32_t>> ReportsByServer() const
    {
        std::map<std::string, std::vector<uint32_t>> byServer;
        for (const SinkReport& report : sink.reports)
            byServer[report.ip + ":" + std::to_string(report.port)].push_back(report.rtt);
        return byServer;
    }

    static std::string Key(const ResponderServer& server) { return server.address + ":" + std::to_string(server.port); }

    std::vector<IPInfo> Sorted(uint32_t n)
    {
        ResultBuffer buffer(n);
        EXPECT_EQ(detector->GetSortedIPArray(buffer.Array()), 1);
        EXPECT_EQ(buffer.Array()->dwCount, n);
        return std::vector<IPInfo>(buffer.Array()->info, buffer.Array()->info + n);
    }

    DetectorHarness harness{0};
    ResponderProcess responder;
    RecordingSink sink;
    ServerListBuffer servers;
    ILinkrateDetector* detector;
};

TEST_F(Detection, RequestsOnTheWireAreByteExact)
{
    std::vector<ResponderServer> silent = {Server("127.0.0.2", Silent()), Server("127.0.0.3", Silent()),
                                           Server("127.0.0.4", Silent())};
    ASSERT_EQ(detector->Initialize(&sink), 1);
    ASSERT_EQ(detector->Detect(servers.List(), 0), 1);

    std::set<uint16_t> sequences;
    std::set<uint16_t> sourcePorts;
    for (const ResponderServer& server : silent) {
        ASSERT_TRUE(PumpUntil([&] { return !responder.Requests(server).empty(); }));
        std::vector<ReceivedRequest> requests = responder.Requests(server);
        ASSERT_EQ(requests.size(), 1u);
        const Bytes& bytes = requests[0].bytes;
        ASSERT_EQ(bytes.size(), 16u);
        EXPECT_EQ(ReadLittleEndian32(bytes, 0), 2u) << "command";
        sequences.insert((uint16_t)(bytes[4] | (bytes[5] << 8)));
        EXPECT_EQ(bytes[6], 0);
        EXPECT_EQ(bytes[7], 0);
        EXPECT_NE(ReadLittleEndian32(bytes, 8), 0u) << "tick";
        EXPECT_EQ(ReadLittleEndian32(bytes, 12), 1u) << "fill";
        sourcePorts.insert(requests[0].sourcePort);
    }
    EXPECT_EQ(sequences, (std::set<uint16_t>{1, 2, 3})) << "one counter, from 1";
    EXPECT_EQ(sourcePorts.size(), 1u) << "every request leaves from the detector's one socket";
    EXPECT_TRUE(sink.reports.empty());
}

TEST_F(Detection, NearerServersReportSmallerTimesAndRankFirst)
{
    ResponderServer farthest = Server("127.0.0.4", Answering(120));
    ResponderServer nearest = Server("127.0.0.2", Answering(0));
    ResponderServer middle = Server("127.0.0.3", Answering(40));
    ASSERT_EQ(detector->Initialize(&sink), 1);
    ASSERT_EQ(detector->Detect(servers.List(), 3000), 1);
    ASSERT_TRUE(PumpUntil([&] { return sink.finished > 0; }));
    PumpFor(300);
    EXPECT_EQ(sink.finished, 1) << "the end timer fires once";

    auto byServer = ReportsByServer();
    ASSERT_EQ(byServer.size(), 3u);
    for (const ResponderServer& server : {nearest, middle, farthest})
        ASSERT_EQ(byServer[Key(server)].size(), 1u) << Key(server) << " reported once";
    uint32_t nearestRtt = byServer[Key(nearest)][0], middleRtt = byServer[Key(middle)][0], farthestRtt = byServer[Key(farthest)][0];
    EXPECT_LT(nearestRtt, middleRtt);
    EXPECT_LT(middleRtt, farthestRtt);
    EXPECT_GE(middleRtt + 1, 40u) << "a time cannot be shorter than the server's delay";
    EXPECT_GE(farthestRtt + 1, 120u);

    std::vector<IPInfo> sorted = Sorted(3);
    EXPECT_STREQ(sorted[0].szIP, "127.0.0.2");
    EXPECT_STREQ(sorted[1].szIP, "127.0.0.3");
    EXPECT_STREQ(sorted[2].szIP, "127.0.0.4");
    EXPECT_EQ(sorted[0].dwRTT, nearestRtt);
    EXPECT_EQ(sorted[2].dwRTT, farthestRtt);
    EXPECT_EQ(sorted[1].dwLoad, 100u) << "a short reply leaves the load";
}

TEST_F(Detection, ReportedLoadsReorderAsTheProductsSay)
{
    // About 20 ms at load 50 (product 1000 and more) loses to about 60 ms at load 1.
    Server("127.0.0.2", Answering(20, 20, 50));
    Server("127.0.0.3", Answering(60, 20, 1));
    Server("127.0.0.4", Silent());
    // A liar 100 ms away echoes its tick plus 95 ms, to look 5 ms away: it
    // echoes no tick that was sent, and ranks with the silent.
    Behaviour liar = Answering(100, 20, 1);
    liar.tickOffset = 95;
    Server("127.0.0.5", liar);
    ASSERT_EQ(detector->Initialize(&sink), 1);
    ASSERT_EQ(detector->Detect(servers.List(), 0), 1);
    ASSERT_TRUE(PumpUntil([&] { return sink.reports.size() >= 2; }));
    PumpFor(200);
    EXPECT_EQ(sink.reports.size(), 2u) << "the liar's reply is not reported";

    std::vector<IPInfo> sorted = Sorted(4);
    EXPECT_STREQ(sorted[0].szIP, "127.0.0.3");
    EXPECT_EQ(sorted[0].dwLoad, 1u);
    EXPECT_STREQ(sorted[1].szIP, "127.0.0.2");
    EXPECT_EQ(sorted[1].dwLoad, 50u);
    for (size_t i : {2, 3}) {
        EXPECT_EQ(sorted[i].dwRTT, 5000u) << sorted[i].szIP << " keeps its initial values";
        EXPECT_EQ(sorted[i].dwLoad, 100u) << sorted[i].szIP;
    }
}

TEST_F(Detection, WithoutTimeLimitTheDetectionNeverEnds)
{
    Server("127.0.0.2", Answering(0));
    ASSERT_EQ(detector->Initialize(&sink), 1);
    ASSERT_EQ(detector->Detect(servers.List(), 0), 1);
    ASSERT_TRUE(PumpUntil([&] { return sink.reports.size() == 1; }));
    PumpFor(1500);
    EXPECT_EQ(sink.finished, 0);
    EXPECT_EQ(Sorted(1)[0].dwRTT, sink.reports[0].rtt);
}

// Re-probing is the host's choice in the framework's configuration file, read
// when a detector is made: without it every server gets one request, with
// ReprobeCount=2 a silent one gets three; the server that answers reports once
// either way.
TEST_F(Detection, ReprobeCountInTheConfigurationAsksSilentServersAgain)
{
    ResponderServer answering = Server("127.0.0.2", Answering(0));
    ResponderServer silent = Server("127.0.0.3", Silent());
    TempFolder folder;
    const std::string reprobing = folder.Write("Zelvo.ini", "[39]\r\nReprobeCount=2\r\n");
    for (bool on : {false, true}) {
        SCOPED_TRACE(on ? "ReprobeCount=2" : "no setting");
        if (on) {
            detector->Finalize();
            detector->Release(0);
            harness.module.SetDLLRegistry(reprobing.c_str());
            detector = harness.NewDetector();
            harness.module.SetDLLRegistry(nullptr);
            sink.reports.clear();
        }
        const size_t before = responder.Requests(silent).size();
        const size_t answeringBefore = responder.Requests(answering).size();
        ASSERT_EQ(detector->Initialize(&sink), 1);
        ASSERT_EQ(detector->Detect(servers.List(), 0), 1);
        const size_t expected = on ? 3 : 1;
        ASSERT_TRUE(PumpUntil([&] { return responder.Requests(silent).size() == before + expected; }));
        // Well past the retry time, which is 50 ms after a reply on loopback.
        PumpFor(1000);
        EXPECT_EQ(responder.Requests(silent).size(), before + expected);
        if (!on) {
            EXPECT_EQ(responder.Requests(answering).size(), answeringBefore + 1);
        }
        EXPECT_EQ(sink.reports.size(), 1u);
    }
}

TEST_F(Detection, RepliesAfterTheEndAreDropped)
{
    ResponderServer late = Server("127.0.0.2", Answering(1000));
    ASSERT_EQ(detector->Initialize(&sink), 1);
    ASSERT_EQ(detector->Detect(servers.List(), 200), 1);
    ASSERT_TRUE(PumpUntil([&] { return sink.finished == 1; }));
    // The reply leaves the server a second after the request; give it time to land.
    ASSERT_TRUE(PumpUntil([&] { return !responder.Requests(late).empty(); }));
    PumpFor(2000);
    EXPECT_TRUE(sink.reports.empty());
    std::vector<IPInfo> sorted = Sorted(1);
    EXPECT_EQ(sorted[0].dwRTT, 5000u) << "a reply after the end changes no candidate";
}

TEST_F(Detection, ForgedAndMalformedRepliesNeitherReportNorRank)
{
    ResponderServer real = Server("127.0.0.2", Silent());
    ResponderServer stranger = responder.AddServer("127.0.0.9");
    ASSERT_EQ(detector->Initialize(&sink), 1);
    ASSERT_EQ(detector->Detect(servers.List(), 0), 1);
    ASSERT_TRUE(PumpUntil([&] { return !responder.Requests(real).empty(); }));
    ReceivedRequest request = responder.Requests(real)[0];

    auto withTick = [&](uint32_t tick, size_t length) {
        Bytes bytes = request.bytes;
        bytes.resize(length, 0);
        if (length >= 12)
            for (int i = 0; i < 4; ++i)
                bytes[8 + i] = (uint8_t)(tick >> (8 * i));
        return bytes;
    };
    uint32_t sentTick = ReadLittleEndian32(request.bytes, 8);
    // A tick from before the detection, one from the future, a zero tick, a short
    // datagram and a wrong command: none may set a time.
    responder.SendFrom(real, withTick(sentTick - 60000, 16), "127.0.0.1", request.sourcePort);
    responder.SendFrom(real, withTick(sentTick + 60000, 16), "127.0.0.1", request.sourcePort);
    responder.SendFrom(real, withTick(0, 16), "127.0.0.1", request.sourcePort);
    responder.SendFrom(real, withTick(sentTick, 15), "127.0.0.1", request.sourcePort);
    Bytes wrongCommand = request.bytes;
    wrongCommand[0] = 3;
    responder.SendFrom(real, wrongCommand, "127.0.0.1", request.sourcePort);
    // A genuine echo from an address that no request went to is dropped too.
    responder.SendFrom(stranger, request.bytes, "127.0.0.1", request.sourcePort);

    PumpFor(500);
    EXPECT_TRUE(sink.reports.empty());
    EXPECT_EQ(Sorted(1)[0].dwRTT, 5000u);

    // The genuine echo from the real server still counts after all that.
    responder.SendFrom(real, request.bytes, "127.0.0.1", request.sourcePort);
    ASSERT_TRUE(PumpUntil([&] { return sink.reports.size() == 1; }));
    EXPECT_EQ(sink.reports[0].ip, "127.0.0.2");
    EXPECT_LT(Sorted(1)[0].dwRTT, 5000u);
}

// A reply sets the entry whose request it echoes: a dead port beside a live one
// on the same address stays unanswered and ranks below it, and a reply from
// another port of the address counts, and is reported, for the entry it echoes.
TEST_F(Detection, EachReplySetsOnlyTheEntryWhoseRequestItEchoes)
{
    ResponderServer live = Server("127.0.0.2", Answering(0));
    ResponderServer dead = Server("127.0.0.2", Silent());
    ResponderServer asked = Server("127.0.0.3", Silent());
    ResponderServer otherPort = responder.AddServer("127.0.0.3");
    ASSERT_EQ(detector->Initialize(&sink), 1);
    ASSERT_EQ(detector->Detect(servers.List(), 0), 1);
    ASSERT_TRUE(PumpUntil([&] { return sink.reports.size() == 1 && !responder.Requests(asked).empty(); }));
    ReceivedRequest request = responder.Requests(asked)[0];
    responder.SendFrom(otherPort, request.bytes, "127.0.0.1", request.sourcePort);
    ASSERT_TRUE(PumpUntil([&] { return sink.reports.size() == 2; }));
    PumpFor(200);

    EXPECT_EQ(ReportsByServer().count(Key(live)), 1u);
    EXPECT_EQ(ReportsByServer().count(Key(asked)), 1u) << "reported as the server whose request it answers";
    std::vector<IPInfo> sorted = Sorted(3);
    EXPECT_EQ(sorted[2].ushPort, dead.port) << "the dead port ranks last";
    EXPECT_EQ(sorted[2].dwRTT, 5000u);
    for (int i = 0; i < 2; ++i)
        EXPECT_LT(sorted[i].dwRTT, 5000u) << sorted[i].szIP << ":" << sorted[i].ushPort;
}

TEST_F(Detection, TextListProbesPort8000)
{
    ResponderServer server = responder.AddServer("127.0.0.2", 8000);
    std::vector<uint8_t> storage(LRD_IP_STRING_LIST_SIZE(2), 0);
    auto* list = reinterpret_cast<IPStringList*>(storage.data());
    list->nCount = 2;
    strcpy(list->szIP[0], "127.0.0.2");
    memcpy(list->szIP[1], "1234567890123456", 16);  // no terminator inside its slot
    ASSERT_EQ(detector->Initialize(&sink), 1);
    ASSERT_EQ(detector->Detect(list, 0), 1);
    ASSERT_TRUE(PumpUntil([&] { return sink.reports.size() == 1; }));
    EXPECT_EQ(sink.reports[0].ip, "127.0.0.2");
    EXPECT_EQ(sink.reports[0].port, 8000);

    std::vector<IPInfo> sorted = Sorted(2);
    EXPECT_STREQ(sorted[0].szIP, "127.0.0.2");
    EXPECT_STREQ(sorted[1].szIP, "") << "an address without terminator is not cut";
}

TEST_F(Detection, SortedArrayDuringAndAfterTheDetection)
{
    Server("127.0.0.2", Answering(0));
    Server("127.0.0.3", Answering(400));
    ASSERT_EQ(detector->Initialize(&sink), 1);
    ASSERT_EQ(detector->Detect(servers.List(), 1500), 1);
    ASSERT_TRUE(PumpUntil([&] { return sink.reports.size() == 1; }));
    std::vector<IPInfo> during = Sorted(2);
    EXPECT_STREQ(during[0].szIP, "127.0.0.2");
    EXPECT_EQ(during[1].dwRTT, 5000u) << "the far server has not answered yet";

    ASSERT_TRUE(PumpUntil([&] { return sink.finished == 1; }));
    std::vector<IPInfo> after = Sorted(2);
    EXPECT_EQ(after[0].dwRTT, during[0].dwRTT);
    EXPECT_LT(after[1].dwRTT, 5000u);
    EXPECT_STREQ(after[1].szIP, "127.0.0.3");
}

TEST_F(Detection, TwoDetectorsInOneThreadKeepTheirOwnReplies)
{
    ResponderServer first = Server("127.0.0.2", Answering(0));
    ServerListBuffer otherServers;
    ResponderServer second = responder.AddServer("127.0.0.3");
    otherServers.Add("127.0.0.3", second.port);

    RecordingSink otherSink;
    ILinkrateDetector* other = harness.NewDetector();
    ASSERT_EQ(detector->Initialize(&sink), 1);
    ASSERT_EQ(other->Initialize(&otherSink), 1);
    ASSERT_EQ(detector->Detect(servers.List(), 500), 1);
    ASSERT_EQ(other->Detect(otherServers.List(), 500), 1);
    ASSERT_TRUE(PumpUntil([&] { return sink.finished == 1 && otherSink.finished == 1; }));
    ASSERT_EQ(sink.reports.size(), 1u);
    ASSERT_EQ(otherSink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].ip, "127.0.0.2");
    EXPECT_EQ(otherSink.reports[0].ip, "127.0.0.3");
    EXPECT_EQ(other->Finalize(), 1);
    other->Release(0);
}

TEST_F(Detection, ReleaseInsideTheSinkEndsEverything)
{
    Server("127.0.0.2", Answering(0));
    Server("127.0.0.3", Answering(0));
    ASSERT_EQ(detector->Initialize(&sink), 1);
    sink.onReport = [&] {
        detector->Release(0);
        detector = nullptr;
        sink.onReport = nullptr;
        // The last detector is gone, but the module's window procedure is still
        // on this thread's stack: a host that unloaded now would crash it.
        EXPECT_EQ(harness.module.ZelvoDllCanUnloadNow(), 0);
    };
    ASSERT_EQ(detector->Detect(servers.List(), 300), 1);
    ASSERT_TRUE(PumpUntil([&] { return detector == nullptr; }));
    PumpFor(800);
    EXPECT_EQ(sink.reports.size(), 1u) << "nothing after the release";
    EXPECT_EQ(sink.finished, 0) << "the end timer died with the detector";
    EXPECT_EQ(FindDetectorWindow(), nullptr);
}

TEST_F(Detection, ReleaseInsideOnDetectFinished)
{
    Server("127.0.0.2", Answering(0));
    ASSERT_EQ(detector->Initialize(&sink), 1);
    sink.onFinished = [&] {
        // Reading the result from the end notice is the common case.
        ResultBuffer buffer(1);
        EXPECT_EQ(detector->GetSortedIPArray(buffer.Array()), 1);
        detector->Release(0);
        detector = nullptr;
        EXPECT_EQ(harness.module.ZelvoDllCanUnloadNow(), 0) << "the timer procedure is still to return";
    };
    ASSERT_EQ(detector->Detect(servers.List(), 300), 1);
    ASSERT_TRUE(PumpUntil([&] { return detector == nullptr; }));
    PumpFor(500);
    EXPECT_EQ(sink.finished, 1);
}

TEST_F(Detection, ReleaseDuringADetectionStopsTheEndTimer)
{
    Server("127.0.0.2", Silent());
    ASSERT_EQ(detector->Initialize(&sink), 1);
    ASSERT_EQ(detector->Detect(servers.List(), 200), 1);
    detector->Release(0);
    detector = nullptr;
    PumpFor(800);
    EXPECT_EQ(sink.finished, 0);
}

// Request 65536 of one detector carries sequence 0: the window timer 2321 sends
// every candidate a request again, so one candidate and 65535 timer messages do it.
TEST(DetectionSequence, SixteenBitSequenceWraps)
{
    DetectorHarness harness(0);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    {
        LoopbackResponder sinkhole;
        Behaviour silent;
        silent.answer = false;
        sinkhole.SetBehaviour(silent);
        ServerListBuffer servers;
        servers.Add("127.0.0.1", sinkhole.Port());

        ILinkrateDetector* detector = harness.NewDetector();
        ASSERT_EQ(detector->Initialize(nullptr), 1);
        ASSERT_EQ(detector->Detect(servers.List(), 0), 1);
        HWND window = FindDetectorWindow();
        ASSERT_NE(window, nullptr);
        for (int i = 0; i < 65535; ++i) {
            SendMessageA(window, WM_TIMER, 2321, 0);
            if (i % 64 == 0)
                sinkhole.Poll();
        }
        ASSERT_TRUE(PumpUntil([&] {
            sinkhole.Poll();
            return sinkhole.Requests().size() >= 65536;
        }));
        const auto& requests = sinkhole.Requests();
        auto sequenceOf = [&](size_t i) { return requests[i].bytes[4] | (requests[i].bytes[5] << 8); };
        EXPECT_EQ(sequenceOf(0), 1);
        EXPECT_EQ(sequenceOf(65534), 65535);
        EXPECT_EQ(sequenceOf(65535), 0);
        detector->Finalize();
        detector->Release(0);
    }
    WSACleanup();
}

}  // namespace
