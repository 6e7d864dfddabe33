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
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <sstream>

#include "ResponderBehaviour.h"

namespace {

constexpr uint64_t kIdleExitMs = 60000;
// Room for a command answer in one datagram.
constexpr size_t kAnswerRoom = 60000;

// Reply times are kept in microseconds: with whole milliseconds a delay of D ms
// would come out anywhere between D - 1 and D, and short delays would blur.
uint64_t NowUs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000 + uint64_t(ts.tv_nsec) / 1000;
}

uint64_t NowMs() { return NowUs() / 1000; }

bool LoopbackAddress(const std::string& text, uint16_t port, sockaddr_in& address)
{
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    return inet_pton(AF_INET, text.c_str(), &address.sin_addr) == 1 &&
           (ntohl(address.sin_addr.s_addr) >> 24) == 127;
}

struct Server {
    int fd;
    Behaviour behaviour;
    std::vector<ReceivedRequest> requests;
};

struct Reply {
    int server;
    sockaddr_in to;
    Bytes bytes;
};

class Responder {
public:
    Responder(int control, const sockaddr_in& test) : m_control(control), m_test(test), m_start(NowMs()) {}

    int Run()
    {
        uint64_t lastCommand = NowUs();
        while (!m_quit) {
            uint64_t now = NowUs();
            if (now - lastCommand >= kIdleExitMs * 1000)
                break;
            SendDueReplies(now);
            uint64_t wakeAt = lastCommand + kIdleExitMs * 1000;
            if (!m_replies.empty() && m_replies.begin()->first < wakeAt)
                wakeAt = m_replies.begin()->first;

            std::vector<pollfd> fds{{m_control, POLLIN, 0}};
            std::vector<int> ids{0};
            for (auto& [id, server] : m_servers) {
                fds.push_back({server.fd, POLLIN, 0});
                ids.push_back(id);
            }
            uint64_t waitUs = wakeAt > now ? wakeAt - now : 0;
            timespec wait{time_t(waitUs / 1000000), long(waitUs % 1000000 * 1000)};
            if (ppoll(fds.data(), fds.size(), &wait, nullptr) < 0)
                return 1;
            // Servers first: a command may remove one of them.
            for (size_t i = 1; i < fds.size(); ++i)
                if (fds[i].revents & POLLIN)
                    ReceiveRequests(ids[i]);
            if (fds[0].revents & POLLIN) {
                ServeCommand();
                lastCommand = NowUs();
            }
        }
        for (auto& entry : m_servers)
            close(entry.second.fd);
        return 0;
    }

private:
    void ReceiveRequests(int id)
    {
        Server& server = m_servers.at(id);
        static uint8_t buffer[65536];
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        ssize_t size;
        while ((size = recvfrom(server.fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                                &fromSize)) >= 0) {
            Bytes request(buffer, buffer + size);
            ReceivedRequest record{++m_order, unsigned(NowMs() - m_start), ntohs(from.sin_port), {}};
            record.bytes.assign(request.begin(), request.begin() + std::min(request.size(), kMaxRecorded));
            server.requests.push_back(record);
            if (server.behaviour.answer) {
                uint64_t due = NowUs() + uint64_t(server.behaviour.delayMs) * 1000;
                Bytes reply = BuildReply(request, server.behaviour);
                for (unsigned copy = 0; copy < server.behaviour.copies; ++copy)
                    m_replies.insert({due, Reply{id, from, reply}});
            }
            fromSize = sizeof from;
        }
    }

    // Replies due at the same time leave in the order they were scheduled.
    void SendDueReplies(uint64_t now)
    {
        while (!m_replies.empty() && m_replies.begin()->first <= now) {
            const Reply& reply = m_replies.begin()->second;
            auto server = m_servers.find(reply.server);
            if (server != m_servers.end())
                sendto(server->second.fd, reply.bytes.data(), reply.bytes.size(), 0,
                       reinterpret_cast<const sockaddr*>(&reply.to), sizeof reply.to);
            m_replies.erase(m_replies.begin());
        }
    }

    void ServeCommand()
    {
        static char buffer[65536];
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        ssize_t size = recvfrom(m_control, buffer, sizeof buffer - 1, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (size < 0 || from.sin_port != m_test.sin_port)
            return;
        buffer[size] = '\0';
        std::istringstream in(buffer);
        std::string tag, command;
        in >> tag >> command;
        std::string answer = tag + " " + Execute(command, in);
        sendto(m_control, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&m_test), sizeof m_test);
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
            sockaddr_in to;
            Bytes bytes;
            if (port > 65535 || !LoopbackAddress(address, uint16_t(port), to) || !FromHex(hex, bytes))
                return "err bad send";
            ssize_t sent = sendto(server.fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            return sent < 0 ? "err " + std::string(strerror(errno)) : "ok " + std::to_string(sent);
        }
        if (command == "remove") {
            close(server.fd);
            m_servers.erase(found);
            return "ok";
        }
        return "err unknown command";
    }

    std::string Add(const std::string& text, unsigned port)
    {
        sockaddr_in address;
        if (port > 65535 || !LoopbackAddress(text, uint16_t(port), address))
            return "err bad address";
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        socklen_t size = sizeof address;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            std::string answer = "err " + std::string(strerror(errno));
            if (fd >= 0)
                close(fd);
            return answer;
        }
        m_servers[++m_lastId] = Server{fd, Behaviour{}, {}};
        return "ok " + std::to_string(m_lastId) + " " + std::to_string(ntohs(address.sin_port));
    }

    int m_control;
    sockaddr_in m_test;
    uint64_t m_start;
    bool m_quit = false;
    int m_lastId = 0;
    unsigned m_order = 0;
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
    // The test runner waits for the test's output pipes to close; a responder that
    // held them would keep it waiting until the idle exit.
    int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd)
        dup2(null, fd);

    sockaddr_in test, own;
    LoopbackAddress("127.0.0.1", uint16_t(testPort), test);
    LoopbackAddress("127.0.0.1", 0, own);
    int control = socket(AF_INET, SOCK_DGRAM, 0);
    socklen_t size = sizeof own;
    if (control < 0 || bind(control, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0 ||
        getsockname(control, reinterpret_cast<sockaddr*>(&own), &size) != 0)
        return 1;
    std::string hello = "hello " + std::to_string(ntohs(own.sin_port)) + " " + std::to_string(getpid());
    sendto(control, hello.data(), hello.size(), 0, reinterpret_cast<sockaddr*>(&test), sizeof test);
    return Responder(control, test).Run();
}
