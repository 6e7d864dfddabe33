#include "NetworkBench.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <vector>

#include "BenchTable.h"
#include "CLinkrateDetector.h"
#include "LiteralReader.h"
#include "LoadedModule.h"
#include "MessagePump.h"
#include "ModuleHost.h"
#include "ModuleState.h"
#include "ScriptedResponder.h"

// The module's core exports, built into this program.
extern "C" IComponent* __cdecl CreateComponent(int32_t componentId, uint32_t creatorId);
extern "C" void* __cdecl SetFactoryHandle(void* factoryModule);

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// What a sink heard in one detection.
struct Heard {
    std::vector<uint32_t> rtts;
    Clock::time_point last;
    void Add(uint32_t rtt)
    {
        rtts.push_back(rtt);
        last = Clock::now();
    }
};

class CollectingSink : public ILinkrateDetectorSink {
public:
    explicit CollectingSink(Heard& heard) : m_heard(heard) {}
    void LRD_THISCALL OnIPDetected(const char*, uint16_t, uint32_t rtt) override { m_heard.Add(rtt); }
    void LRD_THISCALL OnDetectFinished() override {}

private:
    Heard& m_heard;
};

// Scripted servers on 127.3.x.y, each with an address of its own.
class ServerFarm {
public:
    void Grow(size_t n)
    {
        while (servers.size() < n) {
            size_t i = servers.size();
            std::string address = Format("127.3.%u.%u", (unsigned)(i / 250), (unsigned)(1 + i % 250));
            servers.push_back(responder.AddServer(address.c_str()));
            ServerInfo info = {};
            snprintf(info.szAddr, sizeof info.szAddr, "%s", address.c_str());
            info.ushPort = servers.back().port;
            infos.push_back(info);
            delays.push_back(~0u);
        }
    }
    // The first n servers answer every request delayMs after it arrived.
    void Answer(size_t n, unsigned delayMs)
    {
        Grow(n);
        Behaviour behaviour;
        behaviour.delayMs = delayMs;
        for (size_t i = 0; i < n; ++i) {
            if (delays[i] != delayMs)
                responder.SetBehaviour(servers[i], behaviour);
            delays[i] = delayMs;
        }
    }
    std::vector<ServerInfo> First(size_t n) const { return std::vector<ServerInfo>(infos.begin(), infos.begin() + n); }
    // The responder ends after a minute without commands, and rows of long
    // rounds last longer: every round tells it something first (its first
    // server's behaviour again), and a responder that has ended is an error,
    // not a silent list.
    void KeepAlive()
    {
        if (!responder.Running())
            throw std::runtime_error("the scripted responder has ended");
        Grow(1);
        Behaviour behaviour;
        if (delays[0] != ~0u)
            behaviour.delayMs = delays[0];
        responder.SetBehaviour(servers[0], behaviour);
        delays[0] = behaviour.delayMs;
    }

    ResponderProcess responder;
    std::vector<ResponderServer> servers;
    std::vector<ServerInfo> infos;
    std::vector<unsigned> delays;
};

struct Detection {
    Heard heard;
    Clock::time_point start;      // just before Detect
    Clock::duration detect{};     // spent inside Detect
    uint32_t receiveBuffer = 0;   // bytes of the receive buffer the detector allocated
};

// Waits until every server was heard, or nothing more was heard for quietMs.
void WaitForReports(Detection& d, size_t expected, unsigned quietMs)
{
    Clock::time_point calm = Clock::now();
    PumpUntil(
        [&] {
            Clock::time_point last = std::max(calm, d.heard.last);
            return d.heard.rtts.size() >= expected ||
                   Clock::now() - last > std::chrono::milliseconds(quietMs);
        },
        60000);
}

Detection DetectWithModule(ModuleHost& host, const std::vector<ServerInfo>& servers, unsigned quietMs)
{
    Detection d;
    CollectingSink sink(d.heard);
    std::vector<uint8_t> list = ServerListBytes(servers);
    ILinkrateDetector* detector = host.NewDetector();
    detector->Initialize(&sink);
    d.receiveBuffer = host.factory.Counters().lastAllocateSize;
    d.start = Clock::now();
    detector->Detect(reinterpret_cast<ServerList*>(list.data()), 0);
    d.detect = Clock::now() - d.start;
    WaitForReports(d, servers.size(), quietMs);
    detector->Finalize();
    detector->Release(0);
    return d;
}

Detection DetectWithLiteralReader(const std::vector<ServerInfo>& servers, unsigned quietMs)
{
    Detection d;
    LiteralReader reader([&](const char*, uint16_t, uint32_t rtt) { d.heard.Add(rtt); });
    d.receiveBuffer = (uint32_t)reader.ReceiveBufferSize();
    d.start = Clock::now();
    reader.Detect(servers);
    d.detect = Clock::now() - d.start;
    WaitForReports(d, servers.size(), quietMs);
    return d;
}

struct Spread {
    double bias = 0;    // median - D
    double spread = 0;  // 95th - 5th percentile
    double worst = 0;   // max - D
    size_t count = 0;
};

Spread Measure(std::vector<uint32_t> rtts, unsigned delayMs)
{
    Spread s;
    s.count = rtts.size();
    if (rtts.empty())
        return s;
    std::sort(rtts.begin(), rtts.end());
    size_t n = rtts.size();
    double median = n % 2 == 1 ? rtts[n / 2] : (rtts[n / 2 - 1] + rtts[n / 2]) / 2.0;
    auto at = [&](double p) { return (double)rtts[(size_t)(p * (double)(n - 1) + 0.5)]; };
    s.bias = median - delayMs;
    s.spread = at(0.95) - at(0.05);
    s.worst = (double)rtts.back() - delayMs;
    return s;
}

std::string Describe(const Spread& s, size_t expected)
{
    std::string text = Format("bias %.1f, spread %.0f, worst %.0f ms", s.bias, s.spread, s.worst);
    if (s.count != expected)
        text += Format(" (%u of %u heard)", (unsigned)s.count, (unsigned)expected);
    return text;
}

void RunRoundTrips(ModuleHost& host, ServerFarm& farm, bool quick)
{
    for (size_t n : {8u, 64u, 256u}) {
        for (unsigned delay : {0u, 5u, 50u}) {
            farm.Answer(n, delay);
            std::vector<ServerInfo> servers = farm.First(n);
            size_t rounds = std::max<size_t>(quick ? 2 : 4, (quick ? 128 : 512) / n);
            std::vector<uint32_t> module, literal;
            for (size_t round = 0; round < rounds; ++round) {
                // Take turns at going first, so that neither side always meets a
                // freshly woken responder.
                for (int side = 0; side < 2; ++side) {
                    if ((side + round) % 2 == 0) {
                        Detection d = DetectWithModule(host, servers, delay + 1000);
                        module.insert(module.end(), d.heard.rtts.begin(), d.heard.rtts.end());
                    } else {
                        Detection d = DetectWithLiteralReader(servers, delay + 1000);
                        literal.insert(literal.end(), d.heard.rtts.begin(), d.heard.rtts.end());
                    }
                }
            }
            Spread m = Measure(module, delay), l = Measure(literal, delay);
            bool met = m.count == n * rounds && m.bias <= 1 && m.spread <= 3;
            PrintRow("round trips, wine",
                     Format("N=%u, D=%u ms: rtt - D over %u rounds", (unsigned)n, delay, (unsigned)rounds),
                     Describe(m, n * rounds), Describe(l, n * rounds), "bias <= 1 ms, spread <= 3 ms",
                     met ? "met" : "NOT met");
        }
    }
}

void RunCapture(ModuleHost& host, ServerFarm& farm, bool quick)
{
    uint32_t moduleBuffer = 0, literalBuffer = 0;
    for (size_t n : {256u, 1024u, 4096u}) {
        farm.Answer(n, 0);
        std::vector<ServerInfo> servers = farm.First(n);
        size_t rounds = quick ? 1 : 3;
        double moduleShare = 1, literalShare = 1;
        std::vector<double> moduleTimes, literalTimes, moduleDetect, literalDetect;
        for (size_t round = 0; round < rounds; ++round) {
            Detection m = DetectWithModule(host, servers, 1000);
            Detection l = DetectWithLiteralReader(servers, 1000);
            moduleBuffer = m.receiveBuffer;
            literalBuffer = l.receiveBuffer;
            moduleShare = std::min(moduleShare, (double)m.heard.rtts.size() / (double)n);
            literalShare = std::min(literalShare, (double)l.heard.rtts.size() / (double)n);
            moduleTimes.push_back(Seconds(m.heard.last - m.start));
            literalTimes.push_back(Seconds(l.heard.last - l.start));
            moduleDetect.push_back(Seconds(m.detect));
            literalDetect.push_back(Seconds(l.detect));
        }
        auto median = [](std::vector<double> v) {
            std::sort(v.begin(), v.end());
            return v[v.size() / 2];
        };
        auto describe = [&](double share, const std::vector<double>& times, const std::vector<double>& detect) {
            return Format("%.1f%% heard, last report after %s (Detect %s)", share * 100,
                          FormatSeconds(median(times)).c_str(), FormatSeconds(median(detect)).c_str());
        };
        bool targeted = n >= 1024;
        PrintRow("capture, wine",
                 Format("N=%u answering at once: least share of %u rounds, median times", (unsigned)n,
                        (unsigned)rounds),
                 describe(moduleShare, moduleTimes, moduleDetect), describe(literalShare, literalTimes, literalDetect),
                 targeted ? "at least 99% heard" : "", targeted ? (moduleShare >= 0.99 ? "met" : "NOT met") : "");
    }
    PrintRow("memory, wine", "receive buffer per detector (bytes)", Format("%u", moduleBuffer),
             Format("%u", literalBuffer), "at most 65536", moduleBuffer <= 65536 ? "met" : "NOT met");
}

// Servers that never answer: nothing listens on their port. Each has an address
// of its own, as a long list of real servers would.
std::vector<ServerInfo> SilentServers(size_t n)
{
    std::vector<ServerInfo> servers(n);
    for (size_t i = 0; i < n; ++i) {
        snprintf(servers[i].szAddr, sizeof servers[i].szAddr, "127.%u.%u.%u", (unsigned)(8 + i / 62500),
                 (unsigned)(i / 250 % 250), (unsigned)(1 + i % 250));
        servers[i].ushPort = 9;
    }
    return servers;
}

// n answering servers: the farm's first ones, each address taken again as often
// as needed. The responder keeps a socket per server, so a list longer than the
// farm probes some servers several times; every request still gets its reply.
std::vector<ServerInfo> AnsweringServers(ServerFarm& farm, size_t n)
{
    const size_t distinct = std::min<size_t>(n, 4096);
    farm.Answer(distinct, 0);
    std::vector<ServerInfo> first = farm.First(distinct);
    std::vector<ServerInfo> servers;
    while (servers.size() < n)
        servers.insert(servers.end(), first.begin(), first.begin() + std::min(first.size(), n - servers.size()));
    return servers;
}

// Two processes that keep both cores of the machine busy while they live:
// copies of this program started with --burn, ended by their handles.
class BusyProcesses {
public:
    BusyProcesses()
    {
        char path[MAX_PATH];
        GetModuleFileNameA(nullptr, path, sizeof path);
        for (PROCESS_INFORMATION& process : m_processes) {
            std::string command = Format("\"%s\" --burn", path);
            STARTUPINFOA startup = {};
            startup.cb = sizeof startup;
            if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                &process))
                throw std::runtime_error("cannot start a busy process");
        }
        // Give them time to reach their loops.
        Sleep(500);
    }
    ~BusyProcesses()
    {
        for (PROCESS_INFORMATION& process : m_processes) {
            TerminateProcess(process.hProcess, 0);
            WaitForSingleObject(process.hProcess, 10000);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
    }
    BusyProcesses(const BusyProcesses&) = delete;
    BusyProcesses& operator=(const BusyProcesses&) = delete;

private:
    PROCESS_INFORMATION m_processes[2] = {};
};

// The plain send loop over the servers, as the blocking rows and the phase rows
// compare Detect with it: seconds inside the loop.
double PlainSendLoop(const std::vector<ServerInfo>& servers, bool answering)
{
    Detection d;
    LiteralReader reader([&](const char*, uint16_t, uint32_t rtt) { d.heard.Add(rtt); });
    d.start = Clock::now();
    reader.SendLoop(servers);
    d.detect = Clock::now() - d.start;
    WaitForReports(d, answering ? servers.size() : 0, 500);
    return Seconds(d.detect);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The time that Detect blocks its caller, against the plain send loop over the
// same servers, for silent and answering lists.
//
// Under Wine every send is a round trip to Wine's server, so both times follow
// the machine's load from moment to moment. A round measures both sides back to
// back, in turns of which goes first, and its ratio compares the two under the
// same load; the row's median is the median of these ratios. Its least is the
// least time of the module over the least of the plain loop, the two measures
// least disturbed by other work. Rounds go on until, for the last
// kAgreeingRounds of them, both say the same of the target (met or missed), up
// to a bound in rounds and in time: a row that stops at the bound says
// "undecided" rather than met or missed.
void RunBlocking(ModuleHost& host, ServerFarm& farm, bool quick, uint32_t largest, bool busy)
{
    const size_t kAgreeingRounds = 3;
    for (bool answering : {false, true}) {
        for (size_t n : {256u, 1024u, 4096u, 16384u, 65535u}) {
            if (n > largest)
                break;
            const size_t least = quick ? 1 : 5, most = quick ? 1 : n > 16384 ? 9 : n > 4096 ? 15 : 31;
            const double secondsAtMost = n > 16384 ? 240 : 90;
            const double limit = answering ? 3 : 1.5;
            std::vector<ServerInfo> servers = answering ? AnsweringServers(farm, n) : SilentServers(n);
            std::vector<double> module, plain, ratios;
            size_t agreeing = 0;
            bool medianMet = false, leastMet = false;
            Clock::time_point rowStart = Clock::now();
            while (module.size() < most) {
                farm.KeepAlive();
                double m, p;
                if (module.size() % 2 == 0) {
                    m = Seconds(DetectWithModule(host, servers, 500).detect);
                    p = PlainSendLoop(servers, answering);
                } else {
                    p = PlainSendLoop(servers, answering);
                    m = Seconds(DetectWithModule(host, servers, 500).detect);
                }
                module.push_back(m);
                plain.push_back(p);
                ratios.push_back(m / p);
                medianMet = Median(ratios) <= limit;
                leastMet = *std::min_element(module.begin(), module.end()) <=
                           limit * *std::min_element(plain.begin(), plain.end());
                agreeing = medianMet == leastMet ? agreeing + 1 : 0;
                if (module.size() >= least && agreeing >= std::min(kAgreeingRounds, least))
                    break;
                if (Seconds(Clock::now() - rowStart) > secondsAtMost)
                    break;
            }
            bool decided = agreeing >= std::min(kAgreeingRounds, least);
            double leastModule = *std::min_element(module.begin(), module.end());
            double leastPlain = *std::min_element(plain.begin(), plain.end());
            PrintRow(busy ? "Detect blocking, wine, 2 busy processes" : "Detect blocking, wine, quiet",
                     Format("N=%u %s: time inside Detect, median (least) of %u rounds", (unsigned)n,
                            answering ? "answering" : "silent", (unsigned)module.size()),
                     Format("%s (%s): %.2fx (%.2fx) the plain loop", FormatSeconds(Median(module)).c_str(),
                            FormatSeconds(leastModule).c_str(), Median(ratios), leastModule / leastPlain),
                     Format("plain send loop %s (%s)", FormatSeconds(Median(plain)).c_str(),
                            FormatSeconds(leastPlain).c_str()),
                     Format("at most %.1fx the plain loop", limit),
                     !decided ? Format("undecided (median %s, least %s)", medianMet ? "met" : "missed",
                                       leastMet ? "met" : "missed")
                              : medianMet ? "met" : "NOT met");
        }
    }
}

// The module's core built into this program, beside the loaded module: a
// detector made here is the module's code, and its phases can be read.
CreatorRegistration g_registerDetector(LRD_DETECTOR_ID, &CLinkrateDetector::Create);

struct PhaseRound {
    DetectPhases phases;
    double detect;  // seconds inside Detect, as its caller sees them
    double plain;   // seconds of the plain send loop over the same servers
};

PhaseRound DetectInProcess(const std::vector<ServerInfo>& servers, bool answering)
{
    PhaseRound round = {};
    Detection d;
    CollectingSink sink(d.heard);
    std::vector<uint8_t> list = ServerListBytes(servers);
    auto* detector = static_cast<CLinkrateDetector*>(CreateComponent(LRD_DETECTOR_ID, 0));
    if (detector == nullptr)
        throw std::runtime_error("no detector from the module's core");
    detector->Initialize(&sink);
    d.start = Clock::now();
    // A time limit, as hosts give one: the end timer is one of the phases. The
    // detection is finalised long before it expires.
    detector->Detect(reinterpret_cast<ServerList*>(list.data()), 600000);
    round.detect = Seconds(Clock::now() - d.start);
    round.phases = detector->LastDetectPhases();
    WaitForReports(d, answering ? servers.size() : 0, 500);
    detector->Finalize();
    detector->Release(0);

    round.plain = PlainSendLoop(servers, answering);
    return round;
}

template <class Field>
double MedianOf(const std::vector<PhaseRound>& rounds, Field field)
{
    std::vector<double> values;
    for (const PhaseRound& round : rounds)
        values.push_back(field(round));
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// What the socket calls a send phase makes cost under Wine, outside the module:
// one socket with read notifications to a window, as the detector's.
void RunSocketCosts(bool quick)
{
    const size_t batch = quick ? 200 : 1000, batches = quick ? 3 : 7;
    std::vector<ServerInfo> silent = SilentServers(batch);
    SOCKET sock = socket(AF_INET, SOCK_DGRAM, 0);
    u_long nonBlocking = 1;
    ioctlsocket(sock, FIONBIO, &nonBlocking);
    sockaddr_in self = {};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = inet_addr("127.0.0.1");
    bind(sock, reinterpret_cast<sockaddr*>(&self), sizeof self);
    int length = sizeof self;
    getsockname(sock, reinterpret_cast<sockaddr*>(&self), &length);
    int buffer = 4 * 1024 * 1024;
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&buffer), sizeof buffer);
    HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    WSAAsyncSelect(sock, window, WM_APP + 2, FD_READ);
    SOCKET feeder = socket(AF_INET, SOCK_DGRAM, 0);

    uint8_t wire[16] = {2};
    char received[64];
    enum { kSend, kEmptyReceive, kReceive, kPending, kClock, kKinds };
    std::vector<double> perCall[kKinds];
    auto timed = [&](auto call) {
        Clock::time_point start = Clock::now();
        for (size_t i = 0; i < batch; ++i)
            call(i);
        return Seconds(Clock::now() - start) / (double)batch;
    };
    for (size_t round = 0; round < batches; ++round) {
        perCall[kSend].push_back(timed([&](size_t i) {
            sockaddr_in to = {};
            to.sin_family = AF_INET;
            to.sin_port = htons(silent[i].ushPort);
            to.sin_addr.s_addr = inet_addr(silent[i].szAddr);
            sendto(sock, reinterpret_cast<const char*>(wire), sizeof wire, 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to);
        }));
        perCall[kEmptyReceive].push_back(timed([&](size_t) {
            recvfrom(sock, received, sizeof received, 0, nullptr, nullptr);
        }));
        perCall[kPending].push_back(timed([&](size_t) {
            u_long waiting = 0;
            ioctlsocket(sock, FIONREAD, &waiting);
        }));
        perCall[kClock].push_back(timed([&](size_t) {
            LARGE_INTEGER now;
            QueryPerformanceCounter(&now);
        }));
        for (size_t i = 0; i < batch; ++i)
            sendto(feeder, reinterpret_cast<const char*>(wire), sizeof wire, 0, reinterpret_cast<sockaddr*>(&self),
                   sizeof self);
        Sleep(50);
        perCall[kReceive].push_back(timed([&](size_t) {
            recvfrom(sock, received, sizeof received, 0, nullptr, nullptr);
        }));
        PumpUntil([] { return false; }, 20);
    }
    closesocket(feeder);
    closesocket(sock);
    DestroyWindow(window);
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return FormatSeconds(v[v.size() / 2]);
    };
    PrintRow("socket calls, wine",
             Format("per call outside the module, median of %u batches of %u", (unsigned)batches, (unsigned)batch),
             Format("sendto to a silent server %s, recvfrom with none waiting %s, recvfrom with one waiting %s, "
                    "ioctlsocket(FIONREAD) %s, QueryPerformanceCounter %s",
                    median(perCall[kSend]).c_str(), median(perCall[kEmptyReceive]).c_str(),
                    median(perCall[kReceive]).c_str(), median(perCall[kPending]).c_str(),
                    median(perCall[kClock]).c_str()),
             "", "", "");
}

// Sockets on 127.0.0.1 that play servers for the reply path: each takes the
// requests sent to it and sends their echoes back when told.
class EchoServers {
public:
    explicit EchoServers(size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in local = {};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = inet_addr("127.0.0.1");
            bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local);
            int length = sizeof local;
            getsockname(s, reinterpret_cast<sockaddr*>(&local), &length);
            ServerInfo info = {};
            snprintf(info.szAddr, sizeof info.szAddr, "127.0.0.1");
            info.ushPort = ntohs(local.sin_port);
            sockets.push_back(s);
            infos.push_back(info);
        }
        requests.resize(n);
    }
    ~EchoServers()
    {
        for (SOCKET s : sockets)
            closesocket(s);
    }
    // Takes one request per server (blocking sockets: every request is on its way).
    void TakeRequests()
    {
        for (size_t i = 0; i < sockets.size(); ++i) {
            int length = sizeof requests[i].from;
            recvfrom(sockets[i], reinterpret_cast<char*>(requests[i].bytes), sizeof requests[i].bytes, 0,
                     reinterpret_cast<sockaddr*>(&requests[i].from), &length);
        }
    }
    // Servers first..first+count-1 echo their requests, to `to` when given.
    void Echo(size_t first, size_t count, const sockaddr_in* to = nullptr)
    {
        for (size_t i = first; i < first + count; ++i)
            sendto(sockets[i], reinterpret_cast<const char*>(requests[i].bytes), sizeof requests[i].bytes, 0,
                   reinterpret_cast<const sockaddr*>(to != nullptr ? to : &requests[i].from), sizeof(sockaddr_in));
    }

    std::vector<SOCKET> sockets;
    std::vector<ServerInfo> infos;
    struct Request {
        uint8_t bytes[16];
        sockaddr_in from;
    };
    std::vector<Request> requests;
};

// The least a read notification can do: a socket that posts its read events to
// a window, whose procedure receives until nothing waits.
class BareReader {
public:
    BareReader()
    {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = WindowProc;
        windowClass.lpszClassName = "LrdBenchBareReader";
        RegisterClassA(&windowClass);
        window = CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                 nullptr);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        sock = socket(AF_INET, SOCK_DGRAM, 0);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
        int length = sizeof address;
        getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length);
        WSAAsyncSelect(sock, window, WM_APP + 3, FD_READ);
    }
    ~BareReader()
    {
        closesocket(sock);
        DestroyWindow(window);
        UnregisterClassA("LrdBenchBareReader", nullptr);
    }

    sockaddr_in address = {};
    size_t received = 0;

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        auto* self = reinterpret_cast<BareReader*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (self != nullptr && message == WM_APP + 3 && WSAGETSELECTEVENT(lParam) == FD_READ) {
            char buffer[1024];
            sockaddr_in from;
            int length = sizeof from;
            while (recvfrom(self->sock, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length) !=
                   SOCKET_ERROR)
                ++self->received;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }

    HWND window = nullptr;
    SOCKET sock = INVALID_SOCKET;
};

// Seconds of dispatching, per datagram, until `done` holds: the echoes of each
// batch wait on the socket, with their notification posted, before the clock
// starts.
template <class Send, class Done>
double DispatchPerDatagram(size_t servers, size_t burst, Send send, Done done)
{
    Clock::duration spent{};
    for (size_t first = 0; first + burst <= servers; first += burst) {
        send(first, burst);
        Sleep(2);
        Clock::time_point start = Clock::now();
        PumpUntil([&] { return done(first + burst); }, 5000);
        spent += Clock::now() - start;
    }
    return Seconds(spent) / (double)(servers / burst * burst);
}

// The reply path: from a read notification to the sink, per datagram, for the
// module's core built into this program, against the bare receive loop, with
// one reply per notification (sparse) and in bursts of 64.
void RunReplyPath(ZelFactLibrary& factory, bool quick)
{
    SetFactoryHandle(factory.Handle());
    const size_t servers = 256, rounds = quick ? 3 : 9;
    EchoServers echo(servers);
    for (size_t burst : {1u, 64u}) {
        std::vector<double> module, bare;
        ReplyCounts counts = {};
        for (size_t round = 0; round < rounds; ++round) {
            Heard heard;
            CollectingSink sink(heard);
            std::vector<uint8_t> list = ServerListBytes(echo.infos);
            auto* detector = static_cast<CLinkrateDetector*>(CreateComponent(LRD_DETECTOR_ID, 0));
            if (detector == nullptr)
                throw std::runtime_error("no detector from the module's core");
            detector->Initialize(&sink);
            detector->Detect(reinterpret_cast<ServerList*>(list.data()), 0);
            echo.TakeRequests();
            PumpUntil([] { return false; }, 20);
            module.push_back(DispatchPerDatagram(
                servers, burst, [&](size_t first, size_t count) { echo.Echo(first, count); },
                [&](size_t n) { return heard.rtts.size() >= n; }));
            counts = detector->Replies();
            detector->Finalize();
            detector->Release(0);

            BareReader reader;
            bare.push_back(DispatchPerDatagram(
                servers, burst, [&](size_t first, size_t count) { echo.Echo(first, count, &reader.address); },
                [&](size_t n) { return reader.received >= n; }));
        }
        // Each round measures both back to back: their ratio compares the two
        // under the same load of the machine.
        std::vector<double> ratios;
        for (size_t round = 0; round < rounds; ++round)
            ratios.push_back(module[round] / bare[round]);
        PrintRow("reply path, wine",
                 Format("%s: per datagram from its notification to the sink, median of %u rounds of %u",
                        burst == 1 ? "sparse, one a notification" : "bursts of 64", (unsigned)rounds,
                        (unsigned)servers),
                 Format("%s, %.2f times the bare loop in the same round (%u accepted, %u dropped as unsent)",
                        FormatSeconds(Median(module)).c_str(), Median(ratios), counts.nAccepted, counts.nUnsent),
                 Format("bare recvfrom loop %s", FormatSeconds(Median(bare)).c_str()), "", "");
    }
}

// Where Detect's time goes, phase by phase, per candidate, from the clock
// readings the detector takes itself; against the plain send loop per request.
void RunPhases(ZelFactLibrary& factory, ServerFarm& farm, bool quick, uint32_t largest)
{
    SetFactoryHandle(factory.Handle());
    for (bool answering : {false, true}) {
        for (size_t n : {256u, 1024u, 4096u, 16384u, 65535u}) {
            if (n > largest)
                break;
            const size_t count = quick ? 1 : n > 4096 ? 3 : 5;
            std::vector<ServerInfo> servers = answering ? AnsweringServers(farm, n) : SilentServers(n);
            std::vector<PhaseRound> rounds;
            for (size_t round = 0; round < count; ++round) {
                farm.KeepAlive();
                rounds.push_back(DetectInProcess(servers, answering));
            }
            auto perCandidate = [&](auto field) {
                return FormatSeconds(MedianOf(rounds, [&](const PhaseRound& r) { return (double)field(r.phases); }) /
                                     1e6 / (double)n);
            };
            std::string phases = Format(
                "fill %s, print %s, reserve %s, timer %s, sends %s, between %s (%.2f looks and %.2f receives a "
                "candidate, %.0f%% of them taking a datagram); total %s, Detect %s",
                perCandidate([](const DetectPhases& p) { return p.qwFillUs; }).c_str(),
                perCandidate([](const DetectPhases& p) { return p.qwPrintUs; }).c_str(),
                perCandidate([](const DetectPhases& p) { return p.qwReserveUs; }).c_str(),
                perCandidate([](const DetectPhases& p) { return p.qwTimerUs; }).c_str(),
                perCandidate([](const DetectPhases& p) { return p.sends.qwSendUs; }).c_str(),
                perCandidate([](const DetectPhases& p) { return p.sends.qwBetweenUs; }).c_str(),
                MedianOf(rounds, [](const PhaseRound& r) { return (double)r.phases.sends.nLookCalls; }) / (double)n,
                MedianOf(rounds, [](const PhaseRound& r) { return (double)r.phases.sends.nReceiveCalls; }) / (double)n,
                100 * MedianOf(rounds,
                               [](const PhaseRound& r) {
                                   return r.phases.sends.nReceiveCalls == 0
                                              ? 1.0
                                              : (double)r.phases.sends.nTaken / r.phases.sends.nReceiveCalls;
                               }),
                perCandidate([](const DetectPhases& p) { return p.qwTotalUs; }).c_str(),
                FormatSeconds(MedianOf(rounds, [](const PhaseRound& r) { return r.detect; })).c_str());
            PrintRow("Detect phases, wine",
                     Format("N=%u %s: per candidate, median of %u", (unsigned)n, answering ? "answering" : "silent",
                            (unsigned)count),
                     phases,
                     Format("plain send loop %s a request, %s",
                            FormatSeconds(MedianOf(rounds, [](const PhaseRound& r) { return r.plain; }) / (double)n)
                                .c_str(),
                            FormatSeconds(MedianOf(rounds, [](const PhaseRound& r) { return r.plain; })).c_str()),
                     "", "");
        }
    }
}

}  // namespace

void RunNetworkBench(bool quick, bool exchange, bool blocking, bool phases, uint32_t largest)
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    {
        ModuleHost host;
        ServerFarm farm;
        if (phases) {
            RunSocketCosts(quick);
            RunReplyPath(host.factory, quick);
            RunPhases(host.factory, farm, quick, largest);
        }
        if (exchange) {
            RunRoundTrips(host, farm, quick);
            RunCapture(host, farm, quick);
        }
        if (blocking) {
            RunBlocking(host, farm, quick, largest, false);
            BusyProcesses busy;
            RunBlocking(host, farm, quick, largest, true);
        }
    }
    WSACleanup();
}

void Burn()
{
    volatile uint32_t spin = 0;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 30 * 60 * 1000)
        for (int i = 0; i < 1000000; ++i)
            spin = spin + 1;
}
