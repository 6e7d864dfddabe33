// lrd_test_responder: scripted UDP test servers in a native Linux process.
//
// Inside Wine every reply leaves from 127.0.0.1 whatever the socket was bound to,
// so servers that must answer from 127.0.0.2, 127.0.0.3, ... live here. A test
// starts the program with its control port; the program binds its own control
// socket on 127.0.0.1, greets the test with "hello <controlPort> <pid>" and then
// serves commands, one datagram each, "<tag> <command> <args...>", answered by
// "<tag> ok ..." or "<tag> err <reason>":
//   add <address> <port>              -> ok <id> <port>
//   behave <id> <behaviour text>      -> ok
//   requests <id> <first>             -> ok <total> <order>,<ms>,<port>,<hex> ...
//   send <id> <address> <port> <hex>  -> ok <bytes sent>
//   remove <id>                       -> ok
//   quit                              -> ok, then the program ends
// The program also ends after a minute without commands, so that a crashed test
// leaves nothing behind. It talks to loopback addresses only.
#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <sstream>

#include "AddressText.h"
#include "ControlCommand.h"
#include "EveryCore.h"
#include "Net.h"
#include "ResponderBehaviour.h"

namespace net = lrdresponder::net;

namespace {

constexpr uint64_t kIdleExitMs = 60000;
// Room for a command answer in one datagram.
constexpr size_t kAnswerRoom = 60000;
constexpr uint32_t kLoopback = 0x7F000001;

// Reply times are kept in microseconds: with whole milliseconds a delay of D ms
// would come out anywhere between D - 1 and D, and short delays would blur.
uint64_t NowUs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000 + uint64_t(ts.tv_nsec) / 1000;
}

uint64_t NowMs() { return NowUs() / 1000; }

// When the datagram last received on the socket arrived, on NowUs's clock. A
// reply's delay counts from there, not from when this program got round to it:
// a burst of requests to many servers keeps it busy for a while.
uint64_t ArrivalUs(int socket)
{
    uint64_t now = NowUs();
    timeval stamp{};
    timespec wall{};
    if (ioctl(socket, SIOCGSTAMP, &stamp) != 0 || clock_gettime(CLOCK_REALTIME, &wall) != 0)
        return now;
    int64_t age = (int64_t(wall.tv_sec) - stamp.tv_sec) * 1000000 + wall.tv_nsec / 1000 - stamp.tv_usec;
    return age > 0 && uint64_t(age) < now ? now - uint64_t(age) : now;
}

bool LoopbackEndpoint(const std::string& text, unsigned port, net::Endpoint& endpoint)
{
    uint32_t address = 0;
    if (port > 65535 || !lrdtools::ParseAddress(text, address) || (address >> 24) != 127)
        return false;
    endpoint = {address, uint16_t(port)};
    return true;
}

struct Server {
    Behaviour behaviour;
    std::vector<ReceivedRequest> requests;
};

struct Reply {
    int server;
    net::Endpoint to;
    Bytes bytes;
};

class Responder {
public:
    Responder(net::UdpSocket control, const net::Endpoint& test) : m_test(test), m_start(NowMs())
    {
        m_sockets.push_back(std::move(control));
        m_ids.push_back(0);
    }

    int Run()
    {
        m_epoll = epoll_create1(EPOLL_CLOEXEC);
        if (m_epoll < 0 || !Watch(m_sockets[0], 0))
            return 1;
        uint64_t lastCommand = NowUs();
        epoll_event events[256];
        while (!m_quit) {
            uint64_t now = NowUs();
            if (now - lastCommand >= kIdleExitMs * 1000)
                break;
            SendDueReplies(now);
            uint64_t wakeAt = lastCommand + kIdleExitMs * 1000;
            if (!m_replies.empty() && m_replies.begin()->first < wakeAt)
                wakeAt = m_replies.begin()->first;

            // To the microsecond: a wait in whole milliseconds would send a reply
            // up to a millisecond late, and the round trips measured through this
            // program would carry that as the prober's error.
            uint64_t waitUs = wakeAt > now ? wakeAt - now : 0;
            timespec timeout{time_t(waitUs / 1000000), long(waitUs % 1000000) * 1000};
            int count = epoll_pwait2(m_epoll, events, 256, &timeout, nullptr);
            if (count < 0 && errno != EINTR)
                return 1;
            bool command = false;
            // Servers first: a command may remove one of them.
            for (int i = 0; i < count; ++i) {
                int id = int(events[i].data.u32);
                if (id == 0)
                    command = true;
                else if (size_t socket = SocketOf(id); socket != 0)
                    ReceiveRequests(socket);
            }
            if (command) {
                ServeCommand(m_sockets, m_test,
                             [this](const std::string& command, std::istringstream& in) { return Execute(command, in); });
                lastCommand = NowUs();
            }
        }
        return 0;
    }

private:
    // One wait covers every socket at a cost that does not grow with their
    // number: with hundreds of servers a poll over all of them after every
    // request kept this program busy, and late with its replies.
    bool Watch(const net::UdpSocket& socket, int id)
    {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = uint32_t(id);
        return epoll_ctl(m_epoll, EPOLL_CTL_ADD, int(socket.Handle()), &event) == 0;
    }

    // The index of a server's socket in m_sockets, 0 when there is no such server.
    // Ids only grow, so m_ids after the control socket's is sorted.
    size_t SocketOf(int id) const
    {
        auto found = std::lower_bound(m_ids.begin() + 1, m_ids.end(), id);
        return found == m_ids.end() || *found != id ? 0 : size_t(found - m_ids.begin());
    }

    void ReceiveRequests(size_t socket)
    {
        int id = m_ids[socket];
        Server& server = m_servers.at(id);
        static uint8_t buffer[65536];
        size_t size = 0;
        net::Endpoint from;
        uint32_t to = 0;
        while (m_sockets[socket].Receive(buffer, sizeof buffer, size, from, to)) {
            Bytes request(buffer, buffer + size);
            ReceivedRequest record{++m_order, unsigned(NowMs() - m_start), from.port, {}};
            record.bytes.assign(request.begin(), request.begin() + std::min(request.size(), kMaxRecorded));
            server.requests.push_back(record);
            if (server.behaviour.answer) {
                uint64_t arrival = ArrivalUs(int(m_sockets[socket].Handle()));
                uint64_t due = arrival + uint64_t(server.behaviour.delayMs) * 1000;
                Bytes reply = BuildReply(request, server.behaviour);
                for (unsigned copy = 0; copy < server.behaviour.copies; ++copy)
                    m_replies.insert({due, Reply{id, from, reply}});
            }
        }
    }

    // Replies due at the same time leave in the order they were scheduled.
    void SendDueReplies(uint64_t now)
    {
        while (!m_replies.empty() && m_replies.begin()->first <= now) {
            const Reply& reply = m_replies.begin()->second;
            if (size_t socket = SocketOf(reply.server); socket != 0)
                m_sockets[socket].Send(reply.bytes.data(), reply.bytes.size(), reply.to, 0);
            m_replies.erase(m_replies.begin());
        }
    }

    std::string Execute(const std::string& command, std::istringstream& in)
    {
        if (command == "quit") {
            m_quit = true;
            return "ok";
        }
        if (command == "add") {
            std::string address;
            unsigned port = 65536;
            in >> address >> port;
            return Add(address, port);
        }
        int id = -1;
        in >> id;
        auto found = m_servers.find(id);
        if (found == m_servers.end())
            return "err no such server";
        Server& server = found->second;
        if (command == "behave") {
            std::string rest;
            std::getline(in, rest);
            return ParseBehaviour(rest, server.behaviour) ? "ok" : "err bad behaviour";
        }
        if (command == "requests") {
            size_t first = 0;
            in >> first;
            std::string answer = "ok " + std::to_string(server.requests.size());
            for (size_t i = first; i < server.requests.size(); ++i) {
                const ReceivedRequest& r = server.requests[i];
                std::string entry = " " + std::to_string(r.order) + "," + std::to_string(r.timeMs) + "," +
                                    std::to_string(r.sourcePort) + "," + ToHex(r.bytes);
                if (answer.size() + entry.size() > kAnswerRoom)
                    break;
                answer += entry;
            }
            return answer;
        }
        if (command == "send") {
            std::string address, hex;
            unsigned port = 65536;
            in >> address >> port >> hex;
            net::Endpoint to;
            Bytes bytes;
            if (!LoopbackEndpoint(address, port, to) || !FromHex(hex, bytes))
                return "err bad send";
            if (!m_sockets[SocketOf(id)].Send(bytes.data(), bytes.size(), to, 0))
                return "err " + std::string(strerror(errno));
            return "ok " + std::to_string(bytes.size());
        }
        if (command == "remove") {
            size_t socket = SocketOf(id);
            m_sockets.erase(m_sockets.begin() + socket);
            m_ids.erase(m_ids.begin() + socket);
            m_servers.erase(found);
            return "ok";
        }
        return "err unknown command";
    }

    std::string Add(const std::string& text, unsigned port)
    {
        net::Endpoint local;
        if (!LoopbackEndpoint(text, port, local))
            return "err bad address";
        net::UdpSocket socket;
        std::string error;
        if (!socket.Open(local, error))
            return "err " + error;
        uint16_t bound = socket.Local().port;
        if (!Watch(socket, m_lastId + 1))
            return "err " + std::string(strerror(errno));
        m_sockets.push_back(std::move(socket));
        m_ids.push_back(++m_lastId);
        m_servers[m_lastId] = Server{};
        return "ok " + std::to_string(m_lastId) + " " + std::to_string(bound);
    }

    net::Endpoint m_test;
    uint64_t m_start;
    bool m_quit = false;
    int m_lastId = 0;
    int m_epoll = -1;
    unsigned m_order = 0;
    // The control socket first, then one a server; m_ids holds each one's server
    // id (0 for the control socket), which is also its mark in m_epoll.
    std::vector<net::UdpSocket> m_sockets;
    std::vector<int> m_ids;
    std::map<int, Server> m_servers;
    std::multimap<uint64_t, Reply> m_replies;
};

}  // namespace

int main(int argc, char** argv)
{
    unsigned testPort = argc == 2 ? unsigned(std::strtoul(argv[1], nullptr, 10)) : 0;
    if (testPort == 0 || testPort > 65535) {
        std::fprintf(stderr, "usage: lrd_test_responder <control port of the test>\n");
        return 2;
    }
    UseEveryCore();
    // The test runner waits for the test's output pipes to close; a responder that
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
    return Responder(std::move(control), test).Run();
}
