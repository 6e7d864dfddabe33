// lrdresponder as operators run it: a child process on loopback addresses, driven
// over UDP and stopped by signal. Every wait has a deadline; a program still
// running when its test ends is killed by its pid.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

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

    void Send(uint16_t to, const Bytes& bytes)
    {
        sockaddr_in target = Loopback("127.0.0.2", to);
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

class Program {
public:
    explicit Program(const std::vector<std::string>& args)
    {
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0)
            throw std::runtime_error("pipe");
        std::vector<std::string> all{LRDRESPONDER_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
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
    // deadline passes.
    template <typename Done>
    bool Pump(Done done)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
        while (!done()) {
            if (m_fds[0] < 0 && m_fds[1] < 0)
                return false;
            int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
            pollfd fds[2] = {{m_fds[0], POLLIN, 0}, {m_fds[1], POLLIN, 0}};
            if (left <= 0 || poll(fds, 2, left) <= 0)
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

    bool WaitUntilListening()
    {
        return Pump([&] { return out.find('\n') != std::string::npos; }) &&
               out.rfind("lrdresponder: listening on UDP", 0) == 0;
    }

    void Signal(int signal) { kill(m_pid, signal); }

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

Bytes WithLoad(Bytes bytes, std::initializer_list<uint8_t> load)
{
    bytes.insert(bytes.end(), load);
    return bytes;
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
    EXPECT_EQ(program.out, "lrdresponder: listening on UDP 127.0.0.2:" + std::to_string(ports[0]) + " 127.0.0.2:" +
                               std::to_string(ports[1]) + ", load 7, delay 0 ms\n");

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
        EXPECT_EQ(reply.bytes, WithLoad(Request(0x01000000u + port), {0, 0, 0, 7}));
    }

    program.Signal(SIGTERM);
    EXPECT_EQ(program.WaitForExit(), 0);
    EXPECT_NE(program.out.find("lrdresponder: stopped\n"
                               "requests answered: 2\n"
                               "requests ignored: 6 (too short 2, wrong command 2, zero tick 2)\n"
                               "answers not sent: 0 (send failed 0, too many held 0, held at stop 0)\n"),
              std::string::npos)
        << program.out;
    EXPECT_EQ(program.err, "");
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
        EXPECT_EQ(reply.bytes, Request(ticks.back()));
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
                               "requests ignored: 1 (too short 1, wrong command 0, zero tick 0)\n"
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
}
