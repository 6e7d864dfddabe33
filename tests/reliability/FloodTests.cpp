// A detection under a flood of hostile datagrams: random bytes of every length,
// valid layouts with forged ticks, truncated and oversized datagrams, from
// sources that are no candidate and from the candidates' own addresses, while the
// real servers answer once each.
//
// A sender thread floods from sockets of its own on 127.0.0.1 (no candidate), at
// most a bounded amount ahead of what the detector has read, so that the socket's
// queue never overflows and every datagram is accounted for; the detector's
// receive lines tell how far it has read. The main thread runs the detection and
// slips forged datagrams from the candidates' addresses in between.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <deque>
#include <map>
#include <thread>

#include "DetectorHarness.h"
#include "MessagePump.h"
#include "ScriptedResponder.h"

namespace {

const int kLanes = 4;
const size_t kMaxDatagram = 65507;
const int64_t kFloodTarget = 100000;
// How far the sender may run ahead of the detector: well inside the 208 KB that
// a loopback socket queues by default, even for datagrams of the largest size.
const int64_t kWindowDatagrams = 32;
const int64_t kWindowBytes = 96 * 1024;
const int64_t kOverheadPerDatagram = 1024;

// The receive lines of the detector ("from [a.b.c.d:port] recv udp [n]bytes"),
// counted as they are written, in total and per sender socket. The lines are
// swallowed: a flood writes hundreds of thousands.
class ReceiveLines {
public:
    ReceiveLines() { m_handler = AddVectoredExceptionHandler(1, &OnException); }
    ~ReceiveLines() { RemoveVectoredExceptionHandler(m_handler); }
    ReceiveLines(const ReceiveLines&) = delete;
    ReceiveLines& operator=(const ReceiveLines&) = delete;

    static void WatchLanes(const uint16_t (&ports)[kLanes])
    {
        for (int i = 0; i < kLanes; ++i)
            s_lanePorts[i] = ports[i];
    }

    static std::atomic<int64_t> s_received;     // datagrams read, any source
    static std::atomic<int64_t> s_failed;       // receive lines with count -1
    static std::atomic<int64_t> s_tooShort;     // "pdu size error,not support"
    static std::atomic<int64_t> s_lane[kLanes];
    static std::atomic<int64_t> s_fromCandidates;  // read from any address but 127.0.0.1

private:
    static LONG CALLBACK OnException(EXCEPTION_POINTERS* info)
    {
        const EXCEPTION_RECORD* record = info->ExceptionRecord;
        if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2)
            return EXCEPTION_CONTINUE_SEARCH;
        const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
        if (text == nullptr)
            return EXCEPTION_CONTINUE_EXECUTION;
        if (const char* from = strstr(text, "]from [")) {
            char address[16] = {0};
            unsigned port = 0;
            int count = 0;
            if (sscanf(from, "]from [%15[0-9.]:%u] recv udp [%d]bytes", address, &port, &count) == 3) {
                if (count < 0) {
                    ++s_failed;
                } else {
                    ++s_received;
                    if (strcmp(address, "127.0.0.1") == 0) {
                        for (int i = 0; i < kLanes; ++i)
                            if (s_lanePorts[i] == port)
                                ++s_lane[i];
                    } else {
                        ++s_fromCandidates;
                    }
                }
            }
        } else if (strstr(text, "pdu size error,not support") != nullptr) {
            ++s_tooShort;
        }
        return EXCEPTION_CONTINUE_EXECUTION;
    }

    static uint16_t s_lanePorts[kLanes];
    PVOID m_handler;
};

std::atomic<int64_t> ReceiveLines::s_received;
std::atomic<int64_t> ReceiveLines::s_failed;
std::atomic<int64_t> ReceiveLines::s_tooShort;
std::atomic<int64_t> ReceiveLines::s_lane[kLanes];
std::atomic<int64_t> ReceiveLines::s_fromCandidates;
uint16_t ReceiveLines::s_lanePorts[kLanes];

// xorshift: reproducible from the seed the test prints.
class Generator {
public:
    explicit Generator(uint32_t seed) : m_state(seed != 0 ? seed : 1) {}
    uint32_t Next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state;
    }
    uint32_t Below(uint32_t n) { return Next() % n; }

private:
    uint32_t m_state;
};

void PutLittle(Bytes& bytes, size_t offset, uint32_t value)
{
    for (size_t i = 0; i < 4 && offset + i < bytes.size(); ++i)
        bytes[offset + i] = (uint8_t)(value >> (8 * i));
}

uint32_t GetLittle(const Bytes& bytes, size_t offset)
{
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 | (uint32_t)bytes[offset + 3] << 24;
}

// The ticks the flood works with: a tick the detection really sent, and ranges
// that lie before the detection or after its end.
struct Ticks {
    uint32_t sent;
    uint32_t Forged(Generator& g) const
    {
        uint32_t distance = 1000000 + g.Below(1u << 29);
        return g.Below(2) ? sent - distance : sent + distance;
    }
};

Bytes Layout(Generator& g, uint32_t command, uint32_t tick, size_t length)
{
    Bytes bytes(length);
    for (uint8_t& b : bytes)
        b = (uint8_t)g.Next();
    PutLittle(bytes, 0, command);
    PutLittle(bytes, 8, tick);
    return bytes;
}

size_t FloodLength(Generator& g)
{
    uint32_t r = g.Below(100);
    if (r < 20)
        return g.Below(16);                     // truncated
    if (r < 75)
        return 16 + g.Below(497);               // up to 512
    if (r < 96)
        return 513 + g.Below(4096 - 512);       // up to 4 KB
    return 4097 + g.Below(kMaxDatagram - 4096);  // up to the largest datagram
}

// What the sender thread sends: never a valid reply from a candidate, since it
// sends from 127.0.0.1.
struct FloodCounts {
    int64_t randomBytes = 0, forgedTicks = 0, validTicks = 0, badFields = 0, truncated = 0, oversized = 0;
    int64_t Total() const { return randomBytes + forgedTicks + validTicks + badFields + truncated; }
};

Bytes FloodDatagram(Generator& g, const Ticks& ticks, FloodCounts& counts)
{
    uint32_t kind = g.Below(100);
    Bytes bytes;
    if (kind < 35) {
        bytes = Layout(g, g.Next(), g.Next(), FloodLength(g));
        ++counts.randomBytes;
    } else if (kind < 65) {
        bytes = Layout(g, 2, ticks.Forged(g), 16 + g.Below(49));
        ++counts.forgedTicks;
    } else if (kind < 80) {
        // A genuine echo of a request, from a stranger: no request went to its
        // address and port, so it is dropped.
        bytes = Layout(g, 2, ticks.sent, g.Below(2) ? 16 : 20 + g.Below(21));
        ++counts.validTicks;
    } else if (kind < 90) {
        bool zeroTick = g.Below(2) != 0;
        bytes = Layout(g, zeroTick ? 2 : 3 + g.Below(1000), zeroTick ? 0 : ticks.sent, 16 + g.Below(8));
        ++counts.badFields;
    } else {
        bytes = Layout(g, 2, ticks.sent, 16);
        bytes.resize(g.Below(16));
        ++counts.truncated;
    }
    if (bytes.size() > 4096)
        ++counts.oversized;
    return bytes;
}

// One sender socket on 127.0.0.1 and what it has sent that the detector has not
// read yet.
struct Lane {
    SOCKET socket = INVALID_SOCKET;
    uint16_t port = 0;
    std::deque<size_t> unread;
    int64_t sent = 0;
    int64_t unreadBytes = 0;

    void Open()
    {
        socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in own{};
        own.sin_family = AF_INET;
        own.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof own;
        bind(socket, reinterpret_cast<sockaddr*>(&own), sizeof own);
        getsockname(socket, reinterpret_cast<sockaddr*>(&own), &size);
        port = ntohs(own.sin_port);
    }
    void Catch(int64_t read)
    {
        while (sent - (int64_t)unread.size() < read && !unread.empty()) {
            unreadBytes -= (int64_t)unread.front();
            unread.pop_front();
        }
    }
};

// Floods the detector's port from kLanes sockets until stopped or the cap is
// reached, never more than the window ahead of the detector.
class Flooder {
public:
    Flooder(uint16_t detectorPort, Ticks ticks, uint32_t seed, bool paced = true)
        : m_port(detectorPort), m_ticks(ticks), m_generator(seed), m_paced(paced)
    {
        uint16_t ports[kLanes];
        for (int i = 0; i < kLanes; ++i) {
            m_lanes[i].Open();
            ports[i] = m_lanes[i].port;
        }
        ReceiveLines::WatchLanes(ports);
        for (auto& lane : ReceiveLines::s_lane)
            lane = 0;
    }
    ~Flooder()
    {
        Stop();
        for (Lane& lane : m_lanes)
            closesocket(lane.socket);
    }

    void Start(int64_t cap)
    {
        m_thread = std::thread([this, cap] { Run(cap); });
    }
    void Stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    int64_t Sent() const { return m_sent.load(); }
    // Read by the detector from the sender's sockets.
    static int64_t Read()
    {
        int64_t read = 0;
        for (const auto& lane : ReceiveLines::s_lane)
            read += lane.load();
        return read;
    }
    const FloodCounts& Counts() const { return m_counts; }

private:
    void Run(int64_t cap)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(m_port);
        while (!m_stop && m_sent.load() < cap) {
            Bytes bytes = FloodDatagram(m_generator, m_ticks, m_counts);
            Lane& lane = m_lanes[m_generator.Below(kLanes)];
            int64_t cost = (int64_t)bytes.size() + kOverheadPerDatagram;
            for (;;) {
                int64_t ahead = 0, aheadBytes = 0;
                for (int i = 0; i < kLanes && m_paced; ++i) {
                    m_lanes[i].Catch(ReceiveLines::s_lane[i].load());
                    ahead += (int64_t)m_lanes[i].unread.size();
                    aheadBytes += m_lanes[i].unreadBytes;
                }
                if (m_stop || !m_paced || (ahead < kWindowDatagrams && aheadBytes + cost <= kWindowBytes))
                    break;
                Sleep(0);
            }
            if (m_stop)
                break;
            sendto(lane.socket, reinterpret_cast<const char*>(bytes.data()), (int)bytes.size(), 0,
                   reinterpret_cast<const sockaddr*>(&to), sizeof to);
            if (m_paced) {
                lane.unread.push_back((size_t)cost);
                lane.unreadBytes += cost;
            }
            ++lane.sent;
            ++m_sent;
        }
    }

    uint16_t m_port;
    Ticks m_ticks;
    Generator m_generator;
    bool m_paced;
    Lane m_lanes[kLanes];
    FloodCounts m_counts;
    std::atomic<bool> m_stop{false};
    std::atomic<int64_t> m_sent{0};
    std::thread m_thread;
};

// Keeps what a flood makes the sink hear without keeping every report.
class FloodSink : public ILinkrateDetectorSink {
public:
    void LRD_THISCALL OnIPDetected(const char* ip, uint16_t port, uint32_t rtt) override
    {
        uint32_t elapsed = GetTickCount() - detectTick;
        std::string address = ip;
        if (address == "127.0.0.2" || address == "127.0.0.3" || address == "127.0.0.4")
            candidateReports.push_back({address, port, rtt});
        else
            ++fromStrangers;
        // A round-trip time cannot be longer than the detection has run so far
        // (plus the coarse steps of GetTickCount).
        if (rtt > elapsed + 32)
            ++insaneTimes;
    }
    void LRD_THISCALL OnDetectFinished() override
    {
        finishedTick = GetTickCount();
        readAtFinish = Flooder::Read();
        ++finished;
    }

    DWORD detectTick = 0;
    DWORD finishedTick = 0;
    int64_t readAtFinish = 0;
    int finished = 0;
    int64_t fromStrangers = 0;
    int64_t insaneTimes = 0;
    std::vector<SinkReport> candidateReports;
};

// Dispatches at most a bounded number of messages: under a flood the queue may
// never run empty, and the loop must still look at the clock.
// The longest single dispatch so far, in milliseconds.
DWORD g_longestDispatchMs;

void PumpSome(int maxMessages)
{
    MSG msg;
    for (int i = 0; i < maxMessages && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
        TranslateMessage(&msg);
        DWORD start = GetTickCount();
        DispatchMessageA(&msg);
        g_longestDispatchMs = std::max<DWORD>(g_longestDispatchMs, GetTickCount() - start);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
}

// A timer of the host's own on the flooded thread.
int g_hostTicks;
void CALLBACK HostTimer(HWND, UINT, UINT_PTR, DWORD) { ++g_hostTicks; }

class Flood : public ::testing::Test {
protected:
    Flood()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~Flood() override { WSACleanup(); }

    // Lines at both levels: the receive lines are the flood's clock.
    DetectorHarness harness{3};
    ReceiveLines lines;
    ResponderProcess responder;
};

// Detections of a fixed length, one after another, each flooded from its first
// request to its end, until the floods add up to the target.
TEST_F(Flood, HundredThousandHostileDatagramsChangeNothingAndEveryDetectionEndsOnTime)
{
    const uint32_t seed = GetTickCount() | 1;
    std::printf("flood seed %u\n", seed);
    const DWORD kLimitMs = 4000;  // inside the 5 s in which replies are reported

    // The real servers: a short reply at once, a long one with load 7 later, and
    // a short one later still.
    ServerListBuffer servers;
    ResponderServer nearServer = responder.AddServer("127.0.0.2");
    ResponderServer loadedServer = responder.AddServer("127.0.0.3");
    ResponderServer farServer = responder.AddServer("127.0.0.4");
    Behaviour answer;
    responder.SetBehaviour(nearServer, answer);
    answer.delayMs = 250;
    answer.length = 20;
    answer.load = 7;
    responder.SetBehaviour(loadedServer, answer);
    Behaviour late;
    late.delayMs = 1200;
    responder.SetBehaviour(farServer, late);
    const ResponderServer* real[] = {&nearServer, &loadedServer, &farServer};
    for (const ResponderServer* server : real)
        servers.Add(server->address.c_str(), server->port);
    // Not a candidate, but with the port of one: its replies must not count for it.
    ResponderServer stranger = responder.AddServer("127.0.0.9", loadedServer.port);
    Behaviour silent;
    silent.answer = false;
    responder.SetBehaviour(stranger, silent);

    Generator forger(seed ^ 0x5bd1e995u);
    FloodCounts total;
    int64_t totalForged = 0, totalRead = 0, totalStrangerReports = 0;
    int detections = 0;
    for (; total.Total() < kFloodTarget && detections < 40; ++detections) {
        SCOPED_TRACE("detection " + std::to_string(detections + 1));
        FloodSink sink;
        ILinkrateDetector* detector = harness.NewDetector();
        ASSERT_EQ(detector->Initialize(&sink), 1);
        const int64_t readBefore = ReceiveLines::s_received.load();
        const int64_t notLocalBefore = ReceiveLines::s_fromCandidates.load();
        const size_t requestsBefore = responder.Requests(loadedServer).size();
        sink.detectTick = GetTickCount();
        ASSERT_EQ(detector->Detect(servers.List(), kLimitMs), 1);
        std::vector<ReceivedRequest> requests;
        ASSERT_TRUE(PumpUntil([&] {
            requests = responder.Requests(loadedServer);
            return requests.size() > requestsBefore;
        }));
        const uint16_t detectorPort = requests.back().sourcePort;
        const Ticks ticks{GetLittle(requests.back().bytes, 8)};

        // Forged datagrams from the candidates' own addresses and ports, and the
        // stranger's valid long replies: sent by the native servers.
        int64_t forged = 0;
        auto forge = [&] {
            const ResponderServer& server = *real[forger.Below(3)];
            Bytes bytes;
            switch (forger.Below(4)) {
            case 0:
                bytes = Layout(forger, 2, ticks.Forged(forger), forger.Below(2) ? 16 : 20);
                break;
            case 1:
                bytes = Layout(forger, 2, ticks.sent, 16);
                bytes.resize(forger.Below(16));
                break;
            case 2:
                bytes = Layout(forger, 3 + forger.Below(100), ticks.sent, 20);
                break;
            default:
                responder.SendFrom(stranger, Layout(forger, 2, ticks.sent, 20), "127.0.0.1", detectorPort);
                ++forged;
                return;
            }
            responder.SendFrom(server, bytes, "127.0.0.1", detectorPort);
            ++forged;
        };

        Flooder flooder(detectorPort, ticks, seed + (uint32_t)detections);
        flooder.Start(40 * kFloodTarget);
        const DWORD hardStop = sink.detectTick + kLimitMs + 30000;
        DWORD nextForgery = GetTickCount();
        while (sink.finished == 0 && (int32_t)(GetTickCount() - hardStop) < 0) {
            PumpSome(256);
            if ((int32_t)(GetTickCount() - nextForgery) >= 0 && forged < 400) {
                for (int i = 0; i < 4; ++i)
                    forge();
                nextForgery = GetTickCount() + 20;
            }
        }
        flooder.Stop();
        const FloodCounts& counts = flooder.Counts();
        const int64_t read = ReceiveLines::s_received.load() - readBefore;
        total.randomBytes += counts.randomBytes;
        total.forgedTicks += counts.forgedTicks;
        total.validTicks += counts.validTicks;
        total.badFields += counts.badFields;
        total.truncated += counts.truncated;
        total.oversized += counts.oversized;
        totalForged += forged;
        totalRead += read;
        totalStrangerReports += sink.fromStrangers;

        ASSERT_EQ(sink.finished, 1) << "the detection did not end under the flood";
        const DWORD ranMs = sink.finishedTick - sink.detectTick;
        const int64_t notLocal = ReceiveLines::s_fromCandidates.load() - notLocalBefore;
        std::printf("detection %d: %lld flooded, %lld forged, %lld read (%lld of them from 127.0.0.2-9), ended after "
                    "%lu ms\n",
                    detections + 1, (long long)counts.Total(), (long long)forged, (long long)read,
                    (long long)notLocal, (unsigned long)ranMs);
        EXPECT_GE(ranMs + 32, kLimitMs) << "ended early";
        EXPECT_LE(ranMs, kLimitMs + 10000) << "ended late";
        EXPECT_GT(forged, 0);

        // The real servers, each reported once with a sane time; nothing forged
        // from their addresses was reported.
        EXPECT_EQ(sink.insaneTimes, 0) << "a reported round-trip time longer than the detection";
        std::map<std::string, std::vector<uint32_t>> byServer;
        for (const SinkReport& report : sink.candidateReports)
            byServer[report.ip + ":" + std::to_string(report.port)].push_back(report.rtt);
        ASSERT_EQ(byServer.size(), 3u);
        for (const ResponderServer* server : real)
            ASSERT_EQ(byServer[server->address + ":" + std::to_string(server->port)].size(), 1u)
                << server->address << " reported once";
        uint32_t nearRtt = byServer["127.0.0.2:" + std::to_string(nearServer.port)][0];
        uint32_t loadedRtt = byServer["127.0.0.3:" + std::to_string(loadedServer.port)][0];
        uint32_t farRtt = byServer["127.0.0.4:" + std::to_string(farServer.port)][0];
        EXPECT_GE(loadedRtt + 1, 250u);
        EXPECT_GE(farRtt + 1, 1200u);

        // The ranking: exactly what the real replies said.
        ResultBuffer result(3);
        ASSERT_EQ(detector->GetSortedIPArray(result.Array()), 1);
        std::map<std::string, IPInfo> ranked;
        for (uint32_t i = 0; i < 3; ++i)
            ranked[result.Array()->info[i].szIP] = result.Array()->info[i];
        EXPECT_EQ(ranked["127.0.0.2"].dwRTT, nearRtt);
        EXPECT_EQ(ranked["127.0.0.2"].dwLoad, 100u);
        EXPECT_EQ(ranked["127.0.0.3"].dwRTT, loadedRtt);
        EXPECT_EQ(ranked["127.0.0.3"].dwLoad, 7u) << "the stranger's load on the same port must not count";
        EXPECT_EQ(ranked["127.0.0.4"].dwRTT, farRtt);
        EXPECT_EQ(ranked["127.0.0.4"].dwLoad, 100u);

        EXPECT_EQ(detector->Finalize(), 1);
        detector->Release(0);
        EXPECT_EQ(harness.module.ZelvoDllCanUnloadNow(), 1);
        EXPECT_EQ(harness.Counters().allocations, harness.Counters().frees);
    }
    std::printf("flood: %d detections, %lld datagrams from 127.0.0.1 (%lld random bytes, %lld forged ticks, %lld "
                "stranger replies, %lld zero tick or wrong command, %lld truncated; %lld over 4 KB), %lld forged "
                "from candidate addresses and 127.0.0.9, %lld read by the detector (%lld too short), %lld stranger "
                "replies reported\n",
                detections, (long long)total.Total(), (long long)total.randomBytes, (long long)total.forgedTicks,
                (long long)total.validTicks, (long long)total.badFields, (long long)total.truncated,
                (long long)total.oversized, (long long)totalForged, (long long)totalRead,
                (long long)ReceiveLines::s_tooShort.load(), (long long)totalStrangerReports);
    EXPECT_GE(total.Total(), kFloodTarget);
    EXPECT_EQ(totalStrangerReports, 0) << "an echo from an address and port no request went to was reported";
    EXPECT_GT(ReceiveLines::s_tooShort.load(), 0);
    EXPECT_EQ(ReceiveLines::s_failed.load(), 0) << "no receive failed";
}

// A flood faster than the detector reads: the socket's queue never runs empty,
// so a read notification is always waiting. The end of the detection must still
// come on time, and a timer of the host's own on that thread still gets its turn
// (one notification takes a bounded batch and leaves the rest for later).
TEST_F(Flood, DetectionEndsOnTimeWhileTheQueueNeverRunsEmpty)
{
    ResponderServer sinkhole = responder.AddServer("127.0.0.2");
    Behaviour silent;
    silent.answer = false;
    responder.SetBehaviour(sinkhole, silent);
    ServerListBuffer servers;
    servers.Add("127.0.0.2", sinkhole.port);
    FloodSink sink;
    ILinkrateDetector* detector = harness.NewDetector();
    ASSERT_EQ(detector->Initialize(&sink), 1);
    const DWORD limitMs = 1000;
    sink.detectTick = GetTickCount();
    ASSERT_EQ(detector->Detect(servers.List(), limitMs), 1);
    ReceivedRequest request;
    ASSERT_TRUE(PumpUntil([&] {
        std::vector<ReceivedRequest> requests = responder.Requests(sinkhole);
        if (!requests.empty())
            request = requests[0];
        return !requests.empty();
    }));
    Flooder flooder(request.sourcePort, Ticks{GetLittle(request.bytes, 8)}, GetTickCount() | 1, false);
    flooder.Start(2000000);
    g_hostTicks = 0;
    g_longestDispatchMs = 0;
    const DWORD floodStart = GetTickCount();
    UINT_PTR hostTimer = SetTimer(nullptr, 0, 50, HostTimer);
    const DWORD hardStop = sink.detectTick + limitMs + 20000;
    while (sink.finished == 0 && (int32_t)(GetTickCount() - hardStop) < 0)
        PumpSome(256);
    KillTimer(nullptr, hostTimer);
    flooder.Stop();
    std::printf("unpaced flood: %lld datagrams sent, %lld read; the host's 50 ms timer ticked %d times in %lu ms, "
                "longest dispatch %lu ms\n",
                (long long)flooder.Sent(), (long long)Flooder::Read(), g_hostTicks,
                (unsigned long)(GetTickCount() - floodStart), (unsigned long)g_longestDispatchMs);
    ASSERT_EQ(sink.finished, 1) << "the detection did not end while the flood went on";
    EXPECT_GT(g_hostTicks, 0) << "the host's timer had no turn during the flood";
    EXPECT_LE(sink.finishedTick - sink.detectTick, limitMs + 10000) << "ended late";

    // From the end on the detector reads nothing more: the rest stays queued.
    // (A notice that still comes is refused; whether one comes depends on where
    // the end fell: a notification that ended at its bound asked for a later
    // turn, not for another notice.)
    PumpFor(300);
    EXPECT_EQ(Flooder::Read(), sink.readAtFinish);
    EXPECT_EQ(detector->Finalize(), 1);
    detector->Release(0);
    EXPECT_EQ(harness.Counters().allocations, harness.Counters().frees);
}

}  // namespace
