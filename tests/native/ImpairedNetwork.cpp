// lrd_impaired_net: probe servers behind an impaired network, for tests and the
// benchmark. This machine's kernel has no traffic shaper, so the program plays
// one: each server it listens as (an address and port of 127.0.0.0/8) loses,
// delays (fixed, jittered, heavy-tailed spikes), duplicates and reorders the
// answers to the requests it gets, from a seed (Impairment.h). It answers the
// probe protocol itself, with the server's load, or relays each request to a real
// lrdresponder and impairs that one's answers on their way back. A liar moves
// the tick its answers echo; a forger answers for another of the program's
// servers as well, from that one's address and port, with guessed ticks.
//
//   lrd_impaired_net [--seed N] [--lifetime SECONDS] SERVER...
//     serves the servers until SIGINT or SIGTERM, or for SECONDS (default 600),
//     so that a test that dies leaves nothing behind; says "listening on" once
//     every socket is bound, and its counts when it stops.
//   lrd_impaired_net --control PORT
//     for a test host under Wine: greets 127.0.0.1:PORT with
//     "hello <controlPort> <pid>" as lrd_test_responder does and serves the
//     commands "<tag> serve SEED SERVER..." (replaces every server; answers that
//     are still due are dropped), "<tag> add SERVER..." (more servers, for lists
//     longer than a datagram holds), "<tag> rewind N" (every server draws its
//     fates again from the start of stream N of its seed, so that detections
//     that rewind to the same N meet the same fates request for request),
//     "<tag> counts" and "<tag> quit", each
//     answered by "<tag> ok ..." or "<tag> err <reason>"; a refused serve or add
//     leaves no server. It ends after a minute without commands.
// Servers with their own addresses must be served natively: inside Wine every
// answer leaves from 127.0.0.1. Several servers may share an address.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <sstream>
#include <unordered_map>

#include "AddressText.h"
#include "ControlCommand.h"
#include "EveryCore.h"
#include "Impairment.h"
#include "Net.h"
#include "ProbeWire.h"

namespace net = lrdresponder::net;

namespace {

constexpr uint64_t kIdleExitUs = 60 * 1000000ull;
// An answer leaves up to a millisecond after its time by design (waits are in
// whole milliseconds); later than this, the program itself was too busy, and
// the delay it adds is not the one configured.
constexpr uint64_t kLateUs = 2000;
constexpr uint32_t kLoopback = 0x7F000001;
// Relayed requests whose answer never came are forgotten after this long.
constexpr uint64_t kRelayForgetUs = 10 * 1000000ull;
constexpr size_t kRelayTidyAt = 4096;
constexpr uint32_t kForgedLoad = 100000;

uint64_t NowUs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000 + uint64_t(ts.tv_nsec) / 1000;
}

struct Counts {
    uint64_t requests = 0, refused = 0, lost = 0, answers = 0, copies = 0, spiked = 0, reordered = 0;
    uint64_t relayed = 0, relayAnswers = 0, forged = 0;
    uint64_t late = 0;  // answers that left more than kLateUs after their time

    std::string Text() const
    {
        std::ostringstream out;
        out << "requests=" << requests << " refused=" << refused << " lost=" << lost << " answers=" << answers
            << " copies=" << copies << " spiked=" << spiked << " reordered=" << reordered << " relayed=" << relayed
            << " relay_answers=" << relayAnswers << " forged=" << forged << " late=" << late;
        return out.str();
    }
};

// A request sent on to the relay target, waiting for its answer.
struct Relayed {
    net::Endpoint client;
    ImpairedFate fate;
    uint64_t sentUs;
};

struct Server {
    ImpairedServer config;
    ImpairmentDraws draws;
    size_t socket = 0;                // index into the program's sockets
    std::optional<size_t> upstream;   // the socket towards the relay target
    std::unordered_map<uint64_t, Relayed> relayed;  // by the request's sequence and tick
};

struct Outgoing {
    size_t server;
    net::Endpoint to;
    std::vector<uint8_t> bytes;
};

// A request and its answer share bytes 4 to 11: the sequence and the tick.
uint64_t ExchangeKey(const uint8_t* datagram)
{
    return uint64_t(ReadPduField(datagram, kSeqOffset)) << 32 | ReadPduField(datagram, kTickOffset);
}

class ImpairedNetwork {
public:
    // The control socket, when there is one, is socket 0 and stays.
    explicit ImpairedNetwork(std::optional<net::UdpSocket> control, net::Endpoint test = {})
        : m_test(test), m_controlled(control.has_value())
    {
        if (control)
            m_sockets.push_back(std::move(*control));
    }

    void Clear(uint64_t seed)
    {
        m_seed = seed;
        m_servers.clear();
        m_due.clear();
        m_sockets.resize(m_controlled ? 1 : 0);
        m_roles.assign(m_sockets.size(), Role{});
        m_counts = Counts{};
    }

    bool Add(const std::vector<ImpairedServer>& configs, std::string& error)
    {
        for (const ImpairedServer& config : configs) {
            size_t place = m_servers.size();
            Server server{config, ImpairmentDraws(config, ServerSeed(config, m_seed, place)), 0, std::nullopt, {}};
            if (!Open({config.address, config.port}, place, false, server.socket, error))
                return false;
            if (config.relayAddress && !Open({kLoopback, 0}, place, true, server.upstream.emplace(), error))
                return false;
            m_servers.push_back(std::move(server));
        }
        return true;
    }

    // Until a stop is asked for, the lifetime ends, or (with a control socket)
    // quit or a minute without commands.
    int Run(uint64_t lifetimeUs)
    {
        uint64_t start = NowUs(), lastCommand = start;
        std::vector<bool> readable;
        std::string error;
        while (!m_quit && !net::StopRequested()) {
            uint64_t now = NowUs();
            uint64_t end = m_controlled ? lastCommand + kIdleExitUs : start + lifetimeUs;
            if (now >= end)
                break;
            SendDue(now);
            uint64_t wakeAt = end;
            if (!m_due.empty() && m_due.begin()->first < wakeAt)
                wakeAt = m_due.begin()->first;
            // Rounded up to the next millisecond, so that no answer leaves early.
            uint64_t waitUs = wakeAt > now ? wakeAt - now : 0;
            if (!net::Wait(m_sockets, int((waitUs + 999) / 1000), readable, error)) {
                std::fprintf(stderr, "lrd_impaired_net: %s\n", error.c_str());
                return 1;
            }
            // Servers first: a command may replace them. Answers that fall due
            // while a burst of requests is read leave between the reads, not
            // after the last of them.
            for (size_t i = m_controlled ? 1 : 0; i < m_sockets.size(); ++i) {
                if (readable[i]) {
                    Receive(i);
                    SendDue(NowUs());
                }
            }
            if (m_controlled && readable[0]) {
                ServeCommand(m_sockets, m_test,
                             [this](const std::string& command, std::istringstream& in) { return Execute(command, in); });
                lastCommand = NowUs();
            }
        }
        return 0;
    }

    const Counts& Totals() const { return m_counts; }

private:
    struct Role {
        size_t server = 0;
        bool upstream = false;
    };

    bool Open(const net::Endpoint& local, size_t server, bool upstream, size_t& index, std::string& error)
    {
        net::UdpSocket socket;
        if (!socket.Open(local, error)) {
            error = lrdtools::FormatAddress(local.address) + ":" + std::to_string(local.port) + ": " + error;
            return false;
        }
        index = m_sockets.size();
        m_sockets.push_back(std::move(socket));
        m_roles.push_back(Role{server, upstream});
        return true;
    }

    void Receive(size_t socket)
    {
        static uint8_t buffer[65536];
        size_t size = 0;
        net::Endpoint from;
        uint32_t to = 0;
        Role role = m_roles[socket];
        Server& server = m_servers[role.server];
        while (m_sockets[socket].Receive(buffer, sizeof buffer, size, from, to)) {
            if (role.upstream)
                FromUpstream(role.server, server, buffer, size);
            else
                FromClient(role.server, server, buffer, size, from);
        }
    }

    void FromClient(size_t index, Server& server, const uint8_t* datagram, size_t size, const net::Endpoint& from)
    {
        if (CheckRequest(datagram, size) != RequestVerdict::kAnswer || from.port == 0) {
            ++m_counts.refused;
            return;
        }
        ++m_counts.requests;
        ImpairedFate fate = server.draws.Next();
        if (fate.lost) {
            ++m_counts.lost;
            return;
        }
        uint64_t now = NowUs();
        if (server.upstream) {
            ++m_counts.relayed;
            if (server.relayed.size() >= kRelayTidyAt)
                Forget(server, now);
            server.relayed[ExchangeKey(datagram)] = Relayed{from, fate, now};
            m_sockets[*server.upstream].Send(datagram, size, {*server.config.relayAddress, server.config.relayPort}, 0);
            return;
        }
        uint8_t answer[kLongReplySize];
        size_t length = EncodeAnswer(datagram, server.config.load, answer);
        Forge(server, datagram, from, fate, now);
        Schedule(index, from, std::vector<uint8_t>(answer, answer + length), fate, now);
    }

    // A forger's answers for its victim, due with its own answer (and so, where
    // the victim is nearer, after the victim's): long replies with a load that
    // sinks the victim and ticks spread around the one the forger's own request
    // carried, which is all a server sees of the client's ticks.
    void Forge(const Server& forger, const uint8_t* request, const net::Endpoint& client, const ImpairedFate& fate,
               uint64_t now)
    {
        if (!forger.config.forgeAddress)
            return;
        size_t victim = m_servers.size();
        for (size_t i = 0; i < m_servers.size(); ++i)
            if (m_servers[i].config.address == *forger.config.forgeAddress &&
                m_servers[i].config.port == forger.config.forgePort)
                victim = i;
        if (victim == m_servers.size())
            return;
        const uint32_t seen = ReadPduField(request, kTickOffset);
        const unsigned guesses = forger.config.forgeGuesses;
        for (unsigned k = 0; k < guesses; ++k) {
            uint8_t answer[kLongReplySize];
            EncodeAnswer(request, kForgedLoad, answer);
            WritePduField(answer, kTickOffset, seen + k - guesses / 2);
            m_due.insert({now + uint64_t(fate.delayMs * 1000),
                          Outgoing{victim, client, std::vector<uint8_t>(answer, answer + kLongReplySize)}});
        }
        m_counts.forged += guesses;
    }

    void FromUpstream(size_t index, Server& server, const uint8_t* datagram, size_t size)
    {
        if (size < kProbeSize)
            return;
        auto found = server.relayed.find(ExchangeKey(datagram));
        if (found == server.relayed.end())
            return;
        ++m_counts.relayAnswers;
        Relayed relayed = found->second;
        server.relayed.erase(found);
        Schedule(index, relayed.client, std::vector<uint8_t>(datagram, datagram + size), relayed.fate, NowUs());
    }

    void Forget(Server& server, uint64_t now)
    {
        for (auto i = server.relayed.begin(); i != server.relayed.end();)
            i = now - i->second.sentUs > kRelayForgetUs ? server.relayed.erase(i) : std::next(i);
    }

    void Schedule(size_t index, const net::Endpoint& to, std::vector<uint8_t> bytes, const ImpairedFate& fate,
                  uint64_t now)
    {
        const unsigned lie = m_servers[index].config.lieMs;
        if (lie != 0 && bytes.size() >= kProbeSize)
            WritePduField(bytes.data(), kTickOffset, ReadPduField(bytes.data(), kTickOffset) + lie);
        m_counts.spiked += fate.spiked;
        m_counts.reordered += fate.reordered;
        m_due.insert({now + uint64_t(fate.delayMs * 1000), Outgoing{index, to, bytes}});
        if (fate.copyDelayMs) {
            ++m_counts.copies;
            m_due.insert({now + uint64_t(*fate.copyDelayMs * 1000), Outgoing{index, to, bytes}});
        }
    }

    // Answers due at the same time leave in the order they were scheduled.
    void SendDue(uint64_t now)
    {
        while (!m_due.empty() && m_due.begin()->first <= now) {
            const Outgoing& out = m_due.begin()->second;
            if (m_sockets[m_servers[out.server].socket].Send(out.bytes.data(), out.bytes.size(), out.to, 0))
                ++m_counts.answers;
            m_counts.late += NowUs() > m_due.begin()->first + kLateUs;
            m_due.erase(m_due.begin());
        }
    }

    std::string Execute(const std::string& command, std::istringstream& in)
    {
        if (command == "quit") {
            m_quit = true;
            return "ok";
        }
        if (command == "counts")
            return "ok " + m_counts.Text();
        if (command == "rewind") {
            std::string streamText;
            uint64_t stream = 0;
            in >> streamText;
            if (!lrdtools::ParseDecimal(streamText, 0, UINT32_MAX, stream))
                return "err bad stream";
            for (size_t place = 0; place < m_servers.size(); ++place) {
                Server& server = m_servers[place];
                uint64_t state = ServerSeed(server.config, m_seed, place) ^ (stream * 0x9E3779B97F4A7C15ull);
                server.draws = ImpairmentDraws(server.config, SplitMix(state));
            }
            return "ok";
        }
        if (command != "serve" && command != "add")
            return "err unknown command";
        std::string seedText, text, error;
        uint64_t seed = 0;
        if (command == "serve") {
            in >> seedText;
            if (!lrdtools::ParseDecimal(seedText, 0, UINT32_MAX, seed))
                return "err bad seed";
            Clear(seed);
        }
        std::vector<ImpairedServer> configs;
        while (in >> text) {
            configs.emplace_back();
            if (!ParseImpairedServer(text, configs.back(), error)) {
                Clear(m_seed);
                return "err " + error;
            }
        }
        if (!Add(configs, error)) {
            Clear(m_seed);
            return "err " + error;
        }
        return "ok " + std::to_string(m_servers.size());
    }

    net::Endpoint m_test;
    bool m_controlled;
    bool m_quit = false;
    uint64_t m_seed = 1;
    std::vector<net::UdpSocket> m_sockets;
    std::vector<Role> m_roles;  // beside m_sockets; the control socket's is unused
    std::vector<Server> m_servers;
    std::multimap<uint64_t, Outgoing> m_due;
    Counts m_counts;
};

int Usage()
{
    std::fprintf(stderr,
                 "usage: lrd_impaired_net [--seed N] [--lifetime SECONDS] SERVER...\n"
                 "       lrd_impaired_net --control PORT\n"
                 "SERVER: ADDRESS:PORT[,load=N][,delay=MS][,jitter=MS][,loss=SHARE][,spike=SHARE/MS]\n"
                 "        [,dup=SHARE][,reorder=SHARE/MS][,seed=N][,relay=ADDRESS:PORT][,lie=MS]\n"
                 "        [,forge=ADDRESS:PORT/GUESSES]\n");
    return 2;
}

// Each server is a socket, and a relayed one two: take every descriptor allowed.
void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int RunControlled(uint64_t testPort)
{
    // The test runner waits for the test's output pipes to close; a program that
    // held them would keep it waiting until the idle exit.
    int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd)
        dup2(null, fd);
    net::Endpoint test{kLoopback, uint16_t(testPort)};
    net::UdpSocket control;
    std::string error;
    if (!control.Open({kLoopback, 0}, error))
        return 1;
    std::string hello = "hello " + std::to_string(control.Local().port) + " " + std::to_string(getpid());
    control.Send(reinterpret_cast<const uint8_t*>(hello.data()), hello.size(), test, 0);
    return ImpairedNetwork(std::move(control), test).Run(0);
}

}  // namespace

int main(int argc, char** argv)
{
    RaiseDescriptorLimit();
    UseEveryCore();
    uint64_t seed = 1, lifetime = 600, number = 0;
    std::vector<ImpairedServer> servers;
    std::string error;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool valued = i + 1 < argc;
        if (arg == "--control" && valued && lrdtools::ParseDecimal(argv[i + 1], 1, 65535, number) && argc == 3)
            return RunControlled(number);
        if (arg == "--seed" && valued && lrdtools::ParseDecimal(argv[++i], 0, UINT32_MAX, seed))
            continue;
        if (arg == "--lifetime" && valued && lrdtools::ParseDecimal(argv[++i], 1, 86400, lifetime))
            continue;
        servers.emplace_back();
        if (arg.compare(0, 1, "-") == 0 || !ParseImpairedServer(arg, servers.back(), error)) {
            if (!error.empty())
                std::fprintf(stderr, "lrd_impaired_net: %s\n", error.c_str());
            return Usage();
        }
    }
    if (servers.empty())
        return Usage();
    if (!net::Start(error)) {
        std::fprintf(stderr, "lrd_impaired_net: %s\n", error.c_str());
        return 1;
    }
    ImpairedNetwork network(std::nullopt);
    network.Clear(seed);
    if (!network.Add(servers, error)) {
        std::fprintf(stderr, "lrd_impaired_net: %s\n", error.c_str());
        return 1;
    }
    std::printf("lrd_impaired_net: listening on %zu servers, pid %d\n", servers.size(), int(getpid()));
    std::fflush(stdout);
    int status = network.Run(lifetime * 1000000);
    std::printf("lrd_impaired_net: %s\n", network.Totals().Text().c_str());
    net::Finish();
    return status;
}
