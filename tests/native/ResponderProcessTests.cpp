// lrdresponder as operators run it: a child process on loopback addresses, driven
// over UDP and stopped by signal. Every wait has a deadline; a program still
// running when its test ends is killed by its pid.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ResponderVersion.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kDeadlineMs = 10000;

sockaddr_in Loopback(const char* text, uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, text, &address.sin_addr);
    return address;
}

Bytes Request(uint32_t tick, uint32_t cmd = 2)
{
    Bytes bytes{uint8_t(cmd), 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    for (int i = 0; i < 4; ++i)
        bytes[8 + i] = uint8_t(tick >> (8 * i));
    return bytes;
}

// The answer to Request(tick): the fill data of an answer is 0.
Bytes Answer(uint32_t tick)
{
    Bytes bytes = Request(tick);
    bytes[12] = 0;
    return bytes;
}

struct Datagram {
    std::string address;
    uint16_t port = 0;
    Bytes bytes;
};

class UdpPeer {
public:
    explicit UdpPeer(const char* address = "127.0.0.1")
    {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in own = Loopback(address, 0);
        socklen_t size = sizeof own;
        EXPECT_EQ(bind(m_fd, reinterpret_cast<sockaddr*>(&own), sizeof own), 0);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&own), &size);
        port = ntohs(own.sin_port);
    }
    ~UdpPeer() { close(m_fd); }

    void Send(uint16_t to, const Bytes& bytes, const char* address = "127.0.0.2")
    {
        sockaddr_in target = Loopback(address, to);
        EXPECT_EQ(sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target),
                  ssize_t(bytes.size()));
    }

    bool Receive(Datagram& datagram, int timeoutMs = kDeadlineMs)
    {
        pollfd fd{m_fd, POLLIN, 0};
        if (poll(&fd, 1, timeoutMs) != 1)
            return false;
        uint8_t buffer[2048];
        sockaddr_in from{};
        socklen_t size = sizeof from;
        ssize_t received = recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
        char text[INET_ADDRSTRLEN];
        datagram = {inet_ntop(AF_INET, &from.sin_addr, text, sizeof text), ntohs(from.sin_port),
                    Bytes(buffer, buffer + std::max<ssize_t>(received, 0))};
        return received >= 0;
    }

    uint16_t port = 0;

private:
    int m_fd;
};

// A port nobody uses on 127.0.0.2 at this moment.
uint16_t FreePort()
{
    return UdpPeer("127.0.0.2").port;
}

// How a program is started beyond its arguments.
struct Launch {
    bool journalOut = false;  // JOURNAL_STREAM names its standard output, as systemd's does
    rlim_t fileLimit = 0;     // a soft limit on open files, when not 0
    std::vector<std::pair<std::string, std::string>> environment;  // set in the child
};

// The datagram socket of a service manager's NOTIFY_SOCKET, at a path.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path(path)
    {
        m_fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    }
    ~NotifySocket()
    {
        close(m_fd);
        unlink(path.c_str());
    }

    // The next message, empty when none comes before the deadline.
    std::string Receive()
    {
        pollfd fd{m_fd, POLLIN, 0};
        char buffer[512];
        ssize_t got = poll(&fd, 1, kDeadlineMs) == 1 ? recv(m_fd, buffer, sizeof buffer, 0) : -1;
        return got > 0 ? std::string(buffer, size_t(got)) : "";
    }

    // Takes every message queued, without waiting.
    void Drain()
    {
        char buffer[512];
        while (recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
    }

    const std::string path;

private:
    int m_fd;
};

// What a responder started by root says on standard error, before anything else.
std::string RootWarning()
{
    return geteuid() == 0 ? "lrdresponder: running as root: --user NAME drops to that user once the ports are bound\n"
                          : "";
}

class Program {
public:
    explicit Program(const std::vector<std::string>& args, const Launch& launch = {})
    {
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0)
            throw std::runtime_error("pipe");
        std::string journal;
        struct stat status{};
        if (launch.journalOut && fstat(out[1], &status) == 0)
            journal = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
        std::vector<std::string> all{LRDRESPONDER_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            if (!journal.empty())
                setenv("JOURNAL_STREAM", journal.c_str(), 1);
            for (const auto& [name, value] : launch.environment)
                setenv(name.c_str(), value.c_str(), 1);
            if (launch.fileLimit) {
                rlimit limit{};
                getrlimit(RLIMIT_NOFILE, &limit);
                limit.rlim_cur = launch.fileLimit;
                setrlimit(RLIMIT_NOFILE, &limit);
            }
            dup2(out[1], 1);
            dup2(err[1], 2);
            close(out[0]);
            close(err[0]);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        m_fds[0] = out[0];
        m_fds[1] = err[0];
    }

    ~Program()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        for (int fd : m_fds)
            if (fd >= 0)
                close(fd);
    }

    // Collects output until the predicate holds, both pipes are closed, or the
    // deadline passes. The predicate is asked again every 50 ms as well, since
    // it may wait for a file rather than for output.
    template <typename Done>
    bool Pump(Done done)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
        while (!done()) {
            if (m_fds[0] < 0 && m_fds[1] < 0)
                return false;
            int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
            pollfd fds[2] = {{m_fds[0], POLLIN, 0}, {m_fds[1], POLLIN, 0}};
            if (left <= 0 || poll(fds, 2, std::min(left, 50)) < 0)
                return false;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].revents == 0)
                    continue;
                char buffer[4096];
                ssize_t got = read(m_fds[i], buffer, sizeof buffer);
                if (got <= 0) {
                    close(m_fds[i]);
                    m_fds[i] = -1;
                } else {
                    (i == 0 ? out : err).append(buffer, size_t(got));
                }
            }
        }
        return true;
    }

    // The two start-up lines: where it listens, then how it answers.
    bool WaitUntilListening()
    {
        return Pump([&] { return std::count(out.begin(), out.end(), '\n') >= 2; }) &&
               out.rfind("lrdresponder: listening on UDP", 0) == 0;
    }

    bool WaitForOutput(const std::string& text)
    {
        return Pump([&] { return out.find(text) != std::string::npos; });
    }

    void Signal(int signal) { kill(m_pid, signal); }

    pid_t Pid() const { return m_pid; }

    // The exit status, or -1 if the program did not end before the deadline.
    int WaitForExit()
    {
        Pump([] { return false; });
        if (m_fds[0] >= 0 || m_fds[1] >= 0)
            return -1;
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string out, err;

private:
    pid_t m_pid = -1;
    int m_fds[2] = {-1, -1};
};

// The first whole line of standard output from now on that starts with `start`,
// with its end; empty when none comes before the deadline.
std::string NextLine(Program& program, const std::string& start)
{
    size_t from = program.out.size(), at = std::string::npos, end = std::string::npos;
    program.Pump([&] {
        at = program.out.find("\n" + start, from ? from - 1 : 0);
        end = at == std::string::npos ? at : program.out.find('\n', at + 1);
        return end != std::string::npos;
    });
    return end == std::string::npos ? "" : program.out.substr(at + 1, end - at);
}

Bytes WithLoad(Bytes bytes, std::initializer_list<uint8_t> load)
{
    bytes.insert(bytes.end(), load);
    return bytes;
}

// The number after the last `label` in `text`, or -1 when there is none.
long long CountAfter(const std::string& text, const std::string& label)
{
    size_t at = text.rfind(label);
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + label.size());
}

// Writes the file whole, as a monitoring agent should: the responder never reads
// half a number.
void WriteFile(const std::string& path, const std::string& content)
{
    std::string temporary = path + ".new";
    FILE* file = std::fopen(temporary.c_str(), "w");
    ASSERT_TRUE(file);
    std::fputs(content.c_str(), file);
    std::fclose(file);
    ASSERT_EQ(std::rename(temporary.c_str(), path.c_str()), 0);
}

// Sends one UDP datagram with a source of the test's choosing, through a raw
// socket with hand-built IPv4 and UDP headers; the system fills in the header
// checksum, and UDP over IPv4 may go without one. Needs root: false otherwise.
bool SendForged(const char* fromAddress, uint16_t fromPort, const char* toAddress, uint16_t toPort, const Bytes& payload)
{
    int fd = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (fd < 0)
        return false;
    Bytes packet(28, 0);
    sockaddr_in from = Loopback(fromAddress, fromPort), to = Loopback(toAddress, toPort);
    uint16_t total = uint16_t(packet.size() + payload.size()), udpLength = uint16_t(8 + payload.size());
    packet[0] = 0x45;  // version 4, five words of header
    packet[2] = uint8_t(total >> 8);
    packet[3] = uint8_t(total);
    packet[8] = 64;    // time to live
    packet[9] = IPPROTO_UDP;
    std::memcpy(&packet[12], &from.sin_addr, 4);
    std::memcpy(&packet[16], &to.sin_addr, 4);
    std::memcpy(&packet[20], &from.sin_port, 2);
    std::memcpy(&packet[22], &to.sin_port, 2);
    packet[24] = uint8_t(udpLength >> 8);
    packet[25] = uint8_t(udpLength);
    packet.insert(packet.end(), payload.begin(), payload.end());
    bool sent = sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
                ssize_t(packet.size());
    close(fd);
    return sent;
}

uint32_t TickOf(const Bytes& reply)
{
    return reply.size() < 12 ? 0 : uint32_t(reply[8]) | uint32_t(reply[9]) << 8 | uint32_t(reply[10]) << 16 |
                                        uint32_t(reply[11]) << 24;
}

}  // namespace

TEST(ResponderProcess, AnswersValidRequestsFromTheirPortIgnoresTheRestAndCountsOnSigterm)
{
    uint16_t ports[2] = {FreePort(), FreePort()};
    Program program({"--bind", "127.0.0.2", "--load", "7", std::to_string(ports[0]), std::to_string(ports[1])});
    ASSERT_TRUE(program.WaitUntilListening()) << program.out << program.err;
    uint16_t low = std::min(ports[0], ports[1]), high = std::max(ports[0], ports[1]);
    std::string range = std::to_string(low) + (high == low + 1 ? "-" : ", ") + std::to_string(high);
    EXPECT_EQ(program.out, "lrdresponder: listening on UDP 127.0.0.2 ports " + range +
                               " (2 in all)\nlrdresponder: version " LRDRESPONDER_VERSION
                               ", load 7, delay 0 ms, rate limit 100/s burst 200\n");

    UdpPeer peer;
    for (uint16_t port : ports) {
        // Three requests it must not answer, then one it must: the first datagram
        // back is the answer to the valid one.
        peer.Send(port, Bytes(15, 2));
        peer.Send(port, Request(5, 3));
        peer.Send(port, Request(0));
        Bytes request = Request(0x01000000u + port);
        request.insert(request.end(), {0xAA, 0xBB});
        peer.Send(port, request);
        Datagram reply;
        ASSERT_TRUE(peer.Receive(reply));
        EXPECT_EQ(reply.address, "127.0.0.2");
        EXPECT_EQ(reply.port, port);
        EXPECT_EQ(reply.bytes, WithLoad(Answer(0x01000000u + port), {0, 0, 0, 7}));
    }

    program.Signal(SIGTERM);
    EXPECT_EQ(program.WaitForExit(), 0);
    EXPECT_NE(program.out.find("lrdresponder: stopped\n"
                               "requests answered: 2\n"
                               "requests ignored: 6 (too short 2, wrong command 2, zero tick 2, wrong fill data 0)\n"
                               "requests refused: 0 (own address 0, unusable source 0, rate limited 0)\n"
                               "answers not sent: 0 (send failed 0, too many held 0, held at stop 0)\n"
                               "datagrams dropped by the system: 0\n"),
              std::string::npos)
        << program.out;
    EXPECT_EQ(program.err, RootWarning());
    Datagram extra;
    EXPECT_FALSE(peer.Receive(extra, 0)) << "unexpected datagram from port " << extra.port;
}

// A 0 ms instance answers a later request before a 300 ms one; a 300 ms instance
// answers requests on both its ports before a 450 ms instance answers one sent
// after them all. A program that held each answer by sleeping would answer its
// second request only at 600 ms, after the 450 ms one.
TEST(ResponderProcess, HeldAnswersDoNotHoldUpOtherRequests)
{
    uint16_t prompt = FreePort(), held[2] = {FreePort(), FreePort()}, later = FreePort();
    Program zero({"--bind", "127.0.0.2", std::to_string(prompt)});
    Program delayed({"--bind", "127.0.0.2", "--delay", "300", std::to_string(held[0]), std::to_string(held[1])});
    Program longer({"--bind", "127.0.0.2", "--delay", "450", std::to_string(later)});
    ASSERT_TRUE(zero.WaitUntilListening() && delayed.WaitUntilListening() && longer.WaitUntilListening());

    UdpPeer peer;
    peer.Send(held[0], Request(1));
    peer.Send(held[1], Request(2));
    peer.Send(held[0], Request(3));
    peer.Send(later, Request(4));
    peer.Send(prompt, Request(5));
    // Requests that arrive together on different ports of one program may be
    // taken in either order, so the middle three are compared as a set.
    std::map<uint32_t, uint16_t> expectedPort{{1, held[0]}, {2, held[1]}, {3, held[0]}, {4, later}, {5, prompt}};
    std::vector<uint32_t> ticks;
    Datagram reply;
    while (ticks.size() < 5 && peer.Receive(reply)) {
        ticks.push_back(TickOf(reply.bytes));
        EXPECT_EQ(reply.port, expectedPort[ticks.back()]);
        EXPECT_EQ(reply.bytes, Answer(ticks.back()));
    }
    ASSERT_EQ(ticks.size(), 5u);
    EXPECT_EQ(ticks.front(), 5u);
    EXPECT_EQ(ticks.back(), 4u);
    std::sort(ticks.begin() + 1, ticks.end() - 1);
    EXPECT_EQ(ticks, (std::vector<uint32_t>{5, 1, 2, 3, 4}));
}

// A stop does not wait for held answers; they are counted as not sent.
TEST(ResponderProcess, StopsAtOnceOnSigintWhileHoldingAnAnswer)
{
    uint16_t port = FreePort();
    Program program({"--bind", "127.0.0.2", "--delay", "60000", std::to_string(port)});
    ASSERT_TRUE(program.WaitUntilListening());
    UdpPeer peer;
    peer.Send(port, Request(42));
    peer.Send(port, Bytes{});
    program.Signal(SIGINT);
    EXPECT_EQ(program.WaitForExit(), 0);
    EXPECT_NE(program.out.find("requests answered: 0\n"
                               "requests ignored: 1 (too short 1, wrong command 0, zero tick 0, wrong fill data 0)\n"
                               "requests refused: 0 (own address 0, unusable source 0, rate limited 0)\n"
                               "answers not sent: 1 (send failed 0, too many held 0, held at stop 1)\n"),
              std::string::npos)
        << program.out;
}

TEST(ResponderProcess, RefusesBadArgumentsAndPortsInUse)
{
    Program badDelay({"--delay", "70000", "5000"});
    EXPECT_EQ(badDelay.WaitForExit(), 2);
    EXPECT_EQ(badDelay.err.rfind("lrdresponder: --delay: '70000' is not a number from 0 to 60000\nusage: lrdresponder", 0),
              0u)
        << badDelay.err;
    EXPECT_EQ(badDelay.out, "");

    Program noPort({"--bind", "127.0.0.2"});
    EXPECT_EQ(noPort.WaitForExit(), 2);
    EXPECT_EQ(noPort.err.rfind("lrdresponder: no PORT given\n", 0), 0u) << noPort.err;

    UdpPeer taken("127.0.0.2");
    uint16_t free = FreePort();
    Program busy({"--bind", "127.0.0.2", std::to_string(free), std::to_string(taken.port)});
    EXPECT_EQ(busy.WaitForExit(), 1);
    EXPECT_EQ(busy.err.rfind("lrdresponder: cannot listen on 127.0.0.2:" + std::to_string(taken.port) + ": bind: ", 0),
              0u)
        << busy.err;
    EXPECT_EQ(busy.out, "");

    Program noLoadFile({"--load-file", "/nonexistent/load", std::to_string(free)});
    EXPECT_EQ(noLoadFile.WaitForExit(), 1);
    EXPECT_EQ(noLoadFile.err, "lrdresponder: load file /nonexistent/load: cannot open it: No such file or directory\n");

    // Started by root, it can change to another user; by anyone else, it says so.
    Program noUser({"--bind", "127.0.0.2", "--user", geteuid() == 0 ? "no-such-user" : "nobody", std::to_string(free)});
    EXPECT_EQ(noUser.WaitForExit(), 1);
    EXPECT_EQ(noUser.err, geteuid() == 0 ? "lrdresponder: --user: no user 'no-such-user' in /etc/passwd\n"
                                         : "lrdresponder: --user nobody: only root can change its user\n");

    // The load file is first read as the user that reads it from then on: one
    // that only root may read is refused at the start, not read once as root
    // and then never again.
    if (geteuid() == 0) {
        char directory[] = "/tmp/lrdresponder-test-XXXXXX";
        ASSERT_TRUE(mkdtemp(directory));
        ASSERT_EQ(chmod(directory, 0755), 0);
        std::string path = std::string(directory) + "/load";
        WriteFile(path, "21");
        ASSERT_EQ(chmod(path.c_str(), 0600), 0);
        Program rootOnly({"--bind", "127.0.0.2", "--user", "nobody", "--load-file", path, std::to_string(free)});
        EXPECT_EQ(rootOnly.WaitForExit(), 1);
        EXPECT_EQ(rootOnly.err, "lrdresponder: load file " + path + ": cannot open it: Permission denied\n");
        EXPECT_EQ(rootOnly.out, "");
        unlink(path.c_str());
        rmdir(directory);
    }
}

// One forged request whose source is another responder: the answer goes to that
// responder, which must not answer it, or the two answer each other forever. A
// forged request from the responder's own address and port, and one from port 0,
// get no answer at all.
TEST(ResponderProcess, AForgedRequestBetweenTwoRespondersEndsAfterOneAnswer)
{
    uint16_t portA = FreePort(), portB = UdpPeer("127.0.0.3").port;
    Program a({"--bind", "127.0.0.2", std::to_string(portA)});
    Program b({"--bind", "127.0.0.3", std::to_string(portB)});
    ASSERT_TRUE(a.WaitUntilListening() && b.WaitUntilListening());
    if (!SendForged("127.0.0.3", portB, "127.0.0.2", portA, Request(77)))
        GTEST_SKIP() << "a raw socket needs root";
    ASSERT_TRUE(SendForged("127.0.0.2", portA, "127.0.0.2", portA, Request(78)));
    ASSERT_TRUE(SendForged("127.0.0.9", 0, "127.0.0.2", portA, Request(79)));

    // A request of the test's own to each, after the forged ones: once both are
    // answered, both have handled everything sent before.
    UdpPeer peer;
    for (auto [address, port] : {std::pair{"127.0.0.2", portA}, std::pair{"127.0.0.3", portB}}) {
        peer.Send(port, Request(80), address);
        Datagram reply;
        ASSERT_TRUE(peer.Receive(reply));
        EXPECT_EQ(reply.bytes, Answer(80));
    }
    a.Signal(SIGTERM);
    b.Signal(SIGTERM);
    ASSERT_EQ(a.WaitForExit(), 0);
    ASSERT_EQ(b.WaitForExit(), 0);
    EXPECT_NE(a.out.find("requests answered: 2\n"
                         "requests ignored: 0 (too short 0, wrong command 0, zero tick 0, wrong fill data 0)\n"
                         "requests refused: 2 (own address 1, unusable source 1, rate limited 0)\n"),
              std::string::npos)
        << a.out;
    EXPECT_NE(b.out.find("requests answered: 1\n"
                         "requests ignored: 1 (too short 0, wrong command 0, zero tick 0, wrong fill data 1)\n"),
              std::string::npos)
        << b.out;
}

// 10 000 requests a second from one address for a second, while another address
// asks once. The limited source gets no more than the bucket allows over the
// time it could be answered; the other one is answered all the same. With the
// limit off, everything that reached the program is answered.
TEST(ResponderProcess, AFloodFromOneSourceGetsNoMoreThanTheRateLimit)
{
    struct Case {
        std::vector<std::string> options;
        double rate, burst;  // 0: no limit
    };
    for (const Case& c : {Case{{}, 100, 200}, Case{{"--rate-limit", "1000/50"}, 1000, 50},
                          Case{{"--rate-limit", "0"}, 0, 0}}) {
        SCOPED_TRACE(c.options.empty() ? "default" : c.options[1]);
        uint16_t port = FreePort();
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--bind", "127.0.0.2", std::to_string(port)});
        Program program(args);
        ASSERT_TRUE(program.WaitUntilListening()) << program.err;

        UdpPeer flooder, other("127.0.0.4");
        Datagram reply;
        auto start = std::chrono::steady_clock::now();
        for (int round = 0; round < 100; ++round) {
            for (int i = 0; i < 100; ++i)
                flooder.Send(port, Request(uint32_t(round * 100 + i + 1)));
            if (round == 50)
                other.Send(port, Request(99999));
            while (flooder.Receive(reply, 0)) {
            }
            std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (round + 1)));
        }
        ASSERT_TRUE(other.Receive(reply));
        EXPECT_EQ(reply.bytes, Answer(99999));
        program.Signal(SIGTERM);
        ASSERT_EQ(program.WaitForExit(), 0);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

        // The flooder's own socket may overflow, so the program's counts tell.
        long long answered = CountAfter(program.out, "requests answered: ") - 1;
        long long limited = CountAfter(program.out, "rate limited ");
        long long dropped = CountAfter(program.out, "datagrams dropped by the system: ");
        EXPECT_EQ(answered + limited + dropped, 10000) << program.out;
        if (c.rate > 0) {
            EXPECT_LE(answered, c.burst + c.rate * seconds) << program.out;
            EXPECT_GE(answered, std::min(c.burst, 10000.0 - dropped)) << program.out;
        } else {
            EXPECT_EQ(limited, 0) << program.out;
        }
    }
}

// The load file, the signals and the counts line of a responder run as a service.
TEST(ResponderProcess, FollowsItsLoadFileAndAnswersSignalsWithoutStopping)
{
    char directory[] = "/tmp/lrdresponder-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(directory));
    std::string path = std::string(directory) + "/load";
    WriteFile(path, "7\n");
    uint16_t port = FreePort();
    Program program({"--bind", "127.0.0.2", "--load-file", path, "--stats-interval", "1", std::to_string(port)});
    ASSERT_TRUE(program.WaitUntilListening()) << program.err;
    EXPECT_NE(program.out.find("\nlrdresponder: version " LRDRESPONDER_VERSION ", load 7 from " + path + ", delay 0 ms"),
              std::string::npos);

    UdpPeer peer;
    uint32_t tick = 1;
    auto expectLoad = [&](uint8_t load) {
        peer.Send(port, Request(tick));
        Datagram reply;
        ASSERT_TRUE(peer.Receive(reply));
        EXPECT_EQ(reply.bytes, WithLoad(Answer(tick), {0, 0, 0, load}));
        ++tick;
    };
    expectLoad(7);

    WriteFile(path, "9\n");
    ASSERT_TRUE(program.WaitForOutput("lrdresponder: load 9 from " + path + "\n")) << program.out;
    expectLoad(9);

    // A file without a number is reported once, however long it stays, and the
    // load stays: three lines of counts later, a second has passed and the file
    // has been read again.
    WriteFile(path, "nine\n");
    std::string fault = "lrdresponder: load file " + path + ": 'nine' is not a number from 0 to 4294967295; load stays 9\n";
    ASSERT_TRUE(program.Pump([&] { return program.err.find(fault) != std::string::npos; })) << program.err;
    size_t linesBefore = std::count(program.out.begin(), program.out.end(), '\n');
    ASSERT_TRUE(program.Pump([&] {
        return size_t(std::count(program.out.begin(), program.out.end(), '\n')) >= linesBefore + 3;
    }));
    expectLoad(9);

    // A pipe at the path, whose open would wait for a writer, and a file far
    // too long are each refused with one line; the answers go on with the load.
    std::string temporary = path + ".new";
    ASSERT_EQ(mkfifo(temporary.c_str(), 0600), 0);
    ASSERT_EQ(std::rename(temporary.c_str(), path.c_str()), 0);
    std::string pipeFault = "lrdresponder: load file " + path +
                            ": cannot read it: it is a pipe, not a regular file; load stays 9\n";
    ASSERT_TRUE(program.Pump([&] { return program.err.find(pipeFault) != std::string::npos; })) << program.err;
    for (int i = 0; i < 5; ++i)
        expectLoad(9);
    WriteFile(path, "14" + std::string(1 << 20, ' '));
    std::string hugeFault = "lrdresponder: load file " + path +
                            ": it holds 1048578 bytes, more than the 256 of one number with white space; load stays 9\n";
    ASSERT_TRUE(program.Pump([&] { return program.err.find(hugeFault) != std::string::npos; })) << program.err;

    // SIGHUP reads the file again and does not end the program.
    WriteFile(path, "11");
    program.Signal(SIGHUP);
    ASSERT_TRUE(program.WaitForOutput("lrdresponder: load 11 from " + path + "\n")) << program.out;
    expectLoad(11);

    // A line of counts, each count as key=value: "lrdresponder: counts
    // time=2026-12-08T01:36:18Z answered=8 too_short=0 ... load=11".
    std::string line = NextLine(program, "lrdresponder: counts time=");
    EXPECT_EQ(line.substr(0, 28), "lrdresponder: counts time=20") << line;
    EXPECT_EQ(line.substr(26 + 19),
              "Z answered=" + std::to_string(tick - 1) +
                  " too_short=0 wrong_command=0 zero_tick=0 wrong_fill_data=0 own_address=0 unusable_source=0"
                  " rate_limited=0 send_failed=0 too_many_held=0 dropped=0 load_file_faults=3 load=11\n")
        << line;
    expectLoad(11);

    program.Signal(SIGTERM);
    EXPECT_EQ(program.WaitForExit(), 0);
    EXPECT_EQ(program.err, RootWarning() + fault + pipeFault + hugeFault);
    EXPECT_EQ(CountAfter(program.out, "requests answered: "), tick - 1);
    unlink(path.c_str());
    rmdir(directory);
}

// What an operator's monitoring reads: the metrics file, lines with syslog
// priorities on a journal stream, one line per SIGUSR1 or SIGUSR2, new loads
// logged by step or not at all, and the version.
TEST(ResponderProcess, TellsItsMonitoringThroughMetricsPrioritiesAndSingleLines)
{
    char directory[] = "/tmp/lrdresponder-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(directory));
    std::string loadPath = std::string(directory) + "/load", metricsPath = std::string(directory) + "/lrd.prom";
    auto metrics = [&] {
        std::ifstream file(metricsPath);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    };
    Program version({"--version"});
    EXPECT_EQ(version.WaitForExit(), 0);
    EXPECT_EQ(version.out, "lrdresponder " LRDRESPONDER_VERSION "\n");

    struct Case {
        std::vector<std::string> options;
        bool journal;
        std::vector<uint8_t> loads;  // written one after the other
        std::vector<uint8_t> logged;  // the loads that get a line
    };
    // The metrics file keeps its own interval, however rare the lines of counts.
    // Started as systemd starts it (journal streams, NOTIFY_SOCKET with a 0.4 s
    // watchdog), it tells when it is ready, keeps the watchdog fed and says when
    // it stops.
    NotifySocket notify(std::string(directory) + "/notify");
    for (const Case& c : {Case{{"--load-log-step", "5", "--stats-interval", "86400"}, true, {9, 12, 2, 3}, {12, 2}},
                          Case{{"--quiet-load"}, false, {9, 12}, {}}}) {
        SCOPED_TRACE(c.options[0]);
        WriteFile(loadPath, "7");
        uint16_t port = FreePort();
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--bind", "127.0.0.2", "--load-file", loadPath, "--metrics-file", metricsPath,
                                 "--metrics-interval", "1", std::to_string(port)});
        Launch launch{c.journal, 0, {}};
        if (c.journal)
            launch.environment = {{"NOTIFY_SOCKET", notify.path}, {"WATCHDOG_USEC", "400000"}};
        Program program(args, launch);
        std::string notice = c.journal ? "<5>" : "", info = c.journal ? "<6>" : "", debug = c.journal ? "<7>" : "";
        ASSERT_TRUE(program.WaitForOutput(notice + "lrdresponder: version " LRDRESPONDER_VERSION ", load 7 from "))
            << program.out << program.err;
        EXPECT_EQ(program.out.rfind(notice + "lrdresponder: listening on UDP 127.0.0.2 port ", 0), 0u) << program.out;
        if (c.journal) {
            EXPECT_EQ(notify.Receive(), "READY=1");
            EXPECT_EQ(notify.Receive() + notify.Receive(), "WATCHDOG=1WATCHDOG=1");
        }
        std::string portLabels = "{address=\"127.0.0.2\",port=\"" + std::to_string(port) + "\"} ";

        // Each new load is in the metrics file at the next write, logged or not.
        UdpPeer peer;
        for (uint8_t load : c.loads) {
            WriteFile(loadPath, std::to_string(load));
            std::string gauge = "\nlrdresponder_load " + std::to_string(load) + "\n";
            ASSERT_TRUE(program.Pump([&] { return metrics().find(gauge) != std::string::npos; })) << gauge << metrics();
            peer.Send(port, Request(load));
        }
        for (size_t i = 0; i < c.loads.size(); ++i) {
            Datagram reply;
            ASSERT_TRUE(peer.Receive(reply));
        }
        std::string text = metrics();
        for (const std::string& sample :
             {"# TYPE lrdresponder_requests_answered_total counter\nlrdresponder_requests_answered_total" + portLabels,
              std::string("\nlrdresponder_requests_refused_total{reason=\"rate_limited\"} 0\n"),
              std::string("\nlrdresponder_answers_not_sent_total{reason=\"send_failed\"} 0\n"),
              "\nlrdresponder_datagrams_dropped_total" + portLabels + "0\n",
              std::string("\nlrdresponder_load_file_faults_total 0\n"),
              std::string("\nlrdresponder_info{version=\"" LRDRESPONDER_VERSION "\"} 1\n"),
              std::string("\nlrdresponder_start_time_seconds 1")})
            EXPECT_NE(text.find(sample), std::string::npos) << sample << "\n" << text;

        // One line per signal, not a block of counts.
        program.Signal(SIGUSR1);
        std::string first = NextLine(program, info + "lrdresponder: counts time=");
        program.Signal(SIGUSR2);
        std::string second = NextLine(program, info + "lrdresponder: counts time=");
        EXPECT_NE(first.find(" load=" + std::to_string(c.loads.back()) + "\n"), std::string::npos) << first;
        EXPECT_NE(second.find(" answered="), std::string::npos) << second;
        EXPECT_EQ(program.out.find("requests answered:"), std::string::npos) << program.out;

        // Meanwhile the socket's queue of ten messages filled up, which must not
        // have held the answers or the metrics file up.
        notify.Drain();
        program.Signal(SIGTERM);
        ASSERT_EQ(program.WaitForExit(), 0);
        if (c.journal) {
            std::string message;
            while ((message = notify.Receive()) == "WATCHDOG=1") {
            }
            EXPECT_EQ(message, "STOPPING=1");
        }
        EXPECT_NE(metrics().find("lrdresponder_requests_answered_total" + portLabels + std::to_string(c.loads.size()) +
                                 "\n"),
                  std::string::npos)
            << metrics();
        std::string expected;
        for (uint8_t load : c.logged)
            expected += debug + "lrdresponder: load " + std::to_string(load) + " from " + loadPath + "\n";
        std::string logged;
        for (size_t at = 0; (at = program.out.find("lrdresponder: load ", at)) != std::string::npos; ++at) {
            size_t start = program.out.rfind('\n', at) + 1;
            logged += program.out.substr(start, program.out.find('\n', at) + 1 - start);
        }
        EXPECT_EQ(logged, expected) << program.out;
        EXPECT_NE(program.out.find(notice + "lrdresponder: stopped\n" + notice + "requests answered: " +
                                   std::to_string(c.loads.size()) + "\n"),
                  std::string::npos)
            << program.out;
        // The metrics file was written whole each time: no temporary one is left.
        EXPECT_NE(metrics().find("\nlrdresponder_answers_not_sent_total{reason=\"held_at_stop\"} 0\n"),
                  std::string::npos);
        EXPECT_NE(access((metricsPath + ".tmp").c_str(), F_OK), 0);
        std::remove(metricsPath.c_str());
    }
    std::remove(loadPath.c_str());
    rmdir(directory);
}

// lrdresponder --check against responders on loopback: each status of the
// monitoring-plugin convention, by its exit status, its first line (which names
// the servers that failed) and its performance data (numbers only, one label per
// server and figure).
TEST(ResponderProcess, CheckClientAnswersInTheMonitoringPluginWay)
{
    uint16_t prompt = FreePort(), slow = FreePort(), limited = FreePort(), silent = FreePort();
    Program fast({"--bind", "127.0.0.2", "--load", "7", std::to_string(prompt)});
    Program delayed({"--bind", "127.0.0.2", "--delay", "400", std::to_string(slow)});
    // Answers two requests at once and then one a second: two of three requests
    // sent 100 ms apart.
    Program stingy({"--bind", "127.0.0.3", "--rate-limit", "1/2", std::to_string(limited)});
    ASSERT_TRUE(fast.WaitUntilListening() && delayed.WaitUntilListening() && stingy.WaitUntilListening());
    auto server = [](const char* address, uint16_t port) { return std::string(address) + ":" + std::to_string(port); };
    auto label = [](const char* address, uint16_t port) { return std::string(address) + "_" + std::to_string(port); };
    std::string fastServer = server("127.0.0.2", prompt), slowServer = server("127.0.0.2", slow),
                limitedServer = server("127.0.0.3", limited), silentServer = server("127.0.0.2", silent);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string start;                  // of the first line
        std::vector<std::string> contains;  // of the whole output
    };
    const Case cases[] = {
        // getopt's forms; a server given twice is probed once.
        {{"--check", "--warning=5000", "-c10000", fastServer, fastServer}, 0,
         "LRDRESPONDER OK - 1 of 1 answered, round-trip time up to ",
         {"\n" + fastServer + " ok: round-trip time ", " ms (average of 5), loss 0%, load 7\n",
          " loss_" + label("127.0.0.2", prompt) + "=0%;20;60;0;100 load_" + label("127.0.0.2", prompt) + "=7;;;0\n"}},
        // The short forms, -p for the address without a port.
        {{"--check", "-w", "300", "-c", "10000", "-H", fastServer, "-p", std::to_string(slow), "127.0.0.2"}, 1,
         "LRDRESPONDER WARNING - 2 of 2 answered; warning: " + slowServer + " (round-trip time 4",
         {"\n" + slowServer + " warning: round-trip time 4", " rtt_" + label("127.0.0.2", slow) + "=4"}},
        // A loss on the range's end is inside it; "@" alerts inside.
        {{"--check", "-w", "~:,0%", fastServer}, 0, "LRDRESPONDER OK - ", {";0;60;0;100"}},
        {{"--check", "-w", "@0:10000", fastServer}, 1,
         "LRDRESPONDER WARNING - 1 of 1 answered; warning: " + fastServer + " (round-trip time ", {";@0:10000;1000;0 "}},
        // A late answer is measured, not left out; a silent server is named.
        {{"--check", "-c", "250", "-t", "2", silentServer, slowServer}, 2,
         "LRDRESPONDER CRITICAL - 1 of 2 answered; critical: " + silentServer + " (no answer), " + slowServer +
             " (round-trip time 4",
         {" loss_" + label("127.0.0.2", silent) + "=100%;20;60;0;100 rtt_" + label("127.0.0.2", slow) + "=4",
          "\n" + silentServer + " critical: no answer to 5 requests within 2 s\n"}},
        // Loss thresholds as check_ping's.
        {{"--check", "-n", "3", "-t", "2", "-w", "100,30%", "-c", "1000,50%", limitedServer}, 1,
         "LRDRESPONDER WARNING - 1 of 1 answered; warning: " + limitedServer + " (loss 33.333%)",
         {" loss_" + label("127.0.0.3", limited) + "=33.333%;30;50;0;100", " ms (average of 2), loss 33.333%, no load\n"}},
        {{"--check", "127.0.0.2:08000"}, 3,
         "LRDRESPONDER UNKNOWN - --check: the port of '127.0.0.2:08000': '08000' has a leading zero\n", {}},
        {{"--check", "-V"}, 0, "lrdresponder " LRDRESPONDER_VERSION "\n", {}},
        // A name is resolved, and is the same server as its address.
        {{"--check", "--timeout=1", "-Hlocalhost:" + std::to_string(silent), "127.0.0.1:" + std::to_string(silent)}, 2,
         "LRDRESPONDER CRITICAL - 0 of 1 answered; critical: 127.0.0.1:" + std::to_string(silent) + " (no answer)",
         {}},
        // As check_ping: a warning above the critical is the check's fault.
        {{"--check", "-w", "1500", fastServer}, 3,
         "LRDRESPONDER UNKNOWN - --check: the warning round-trip time '1500' reaches above the critical '1000'\n", {}},
        {{"--check", "-h"}, 0, "usage: lrdresponder --check ", {"  -w, --warning RTT[,LOSS%]"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args.back());
        Program check(c.args);
        EXPECT_EQ(check.WaitForExit(), c.status) << check.out << check.err;
        EXPECT_EQ(check.out.rfind(c.start, 0), 0u) << check.out;
        for (const std::string& text : c.contains)
            EXPECT_NE(check.out.find(text), std::string::npos) << text << "\n" << check.out;
        // Every item of performance data: a label without spaces or quotes, a
        // number with its unit, then warn;crit;min[;max].
        std::string first = check.out.substr(0, check.out.find('\n'));
        std::istringstream items(first.find(" |") == first.npos ? "" : first.substr(first.find(" |") + 2));
        for (std::string item; items >> item;)
            EXPECT_TRUE(std::regex_match(item, std::regex("[a-z]+_[0-9.]+_[0-9]+=[0-9.]+(ms|%)?(;[^;]*){3,4}")))
                << item;
        EXPECT_EQ(check.err, "");
    }
}

// More ports than the soft limit on open files allows, a receive queue of its
// own, and a drop to another user once the ports are bound, which then follows
// the load file: run as root only.
TEST(ResponderProcess, ListensOnMorePortsThanTheFileLimitAndDropsToItsUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "changing the user needs root";
    char directory[] = "/tmp/lrdresponder-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(directory));
    ASSERT_EQ(chmod(directory, 0755), 0);
    std::string path = std::string(directory) + "/load";
    umask(022);
    WriteFile(path, "21");
    std::vector<std::string> args{"--bind", "127.0.0.2", "--rcvbuf", "1048576", "--user", "nobody", "--load-file", path};
    std::vector<uint16_t> ports;
    while (ports.size() < 1100) {
        uint16_t port = FreePort();
        if (std::find(ports.begin(), ports.end(), port) == ports.end()) {
            ports.push_back(port);
            args.push_back(std::to_string(port));
        }
    }
    Program program(args, Launch{false, 1024, {}});
    ASSERT_TRUE(program.WaitUntilListening()) << program.out << program.err;
    EXPECT_NE(program.out.find("(1100 in all)\n"), std::string::npos) << program.out;
    EXPECT_NE(program.out.find(", user nobody\n"), std::string::npos) << program.out;

    std::ifstream status("/proc/" + std::to_string(program.Pid()) + "/status");
    std::string line, uids;
    while (std::getline(status, line))
        if (line.rfind("Uid:", 0) == 0)
            uids = line;
    EXPECT_EQ(uids, "Uid:\t65534\t65534\t65534\t65534");

    UdpPeer peer;
    for (uint16_t port : {ports.front(), ports.back()}) {
        peer.Send(port, Request(port));
        Datagram reply;
        ASSERT_TRUE(peer.Receive(reply));
        EXPECT_EQ(reply.port, port);
        EXPECT_EQ(reply.bytes, WithLoad(Answer(port), {0, 0, 0, 21}));
    }
    WriteFile(path, "22");
    ASSERT_TRUE(program.WaitForOutput("lrdresponder: load 22 from " + path + "\n")) << program.out << program.err;
    peer.Send(ports.front(), Request(1));
    Datagram reply;
    ASSERT_TRUE(peer.Receive(reply));
    EXPECT_EQ(reply.bytes, WithLoad(Answer(1), {0, 0, 0, 22}));
    program.Signal(SIGTERM);
    EXPECT_EQ(program.WaitForExit(), 0);
    EXPECT_EQ(program.err, "");
    unlink(path.c_str());
    rmdir(directory);
}
