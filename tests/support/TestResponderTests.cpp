// The scripted servers seen from a Wine process through plain WinSock, the way
// the detector sees them.
#include <winsock2.h>

#include <gtest/gtest.h>

#include "LoopbackResponder.h"
#include "MessagePump.h"
#include "ScriptedResponder.h"

namespace {

struct Datagram {
    std::string address;
    uint16_t port = 0;
    Bytes bytes;
};

// A UDP socket on 127.0.0.1 in the role of the detector's socket.
class Peer {
public:
    Peer()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        m_socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in own = Address("127.0.0.1", 0);
        int size = sizeof own;
        bind(m_socket, reinterpret_cast<sockaddr*>(&own), sizeof own);
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&own), &size);
        port = ntohs(own.sin_port);
    }
    ~Peer()
    {
        closesocket(m_socket);
        WSACleanup();
    }

    void Send(const std::string& address, uint16_t to, const Bytes& bytes)
    {
        sockaddr_in target = Address(address.c_str(), to);
        sendto(m_socket, reinterpret_cast<const char*>(bytes.data()), int(bytes.size()), 0,
               reinterpret_cast<sockaddr*>(&target), sizeof target);
    }

    // The next datagram; none within the time-out fails the test.
    Datagram Receive(unsigned timeoutMs = 10000)
    {
        Datagram d;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_socket, &readable);
        timeval wait{long(timeoutMs / 1000), long(timeoutMs % 1000 * 1000)};
        EXPECT_EQ(select(0, &readable, nullptr, nullptr, &wait), 1) << "no datagram";
        if (!FD_ISSET(m_socket, &readable))
            return d;
        static char buffer[65536];
        sockaddr_in from{};
        int fromSize = sizeof from;
        int size = recvfrom(m_socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (size >= 0) {
            d.address = inet_ntoa(from.sin_addr);
            d.port = ntohs(from.sin_port);
            d.bytes.assign(buffer, buffer + size);
        }
        return d;
    }

    bool Pending()
    {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_socket, &readable);
        timeval now{0, 0};
        return select(0, &readable, nullptr, nullptr, &now) > 0;
    }

    uint16_t port = 0;

private:
    static sockaddr_in Address(const char* text, uint16_t port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr(text);
        address.sin_port = htons(port);
        return address;
    }

    SOCKET m_socket;
};

// A probe request with sequence 1 and tick 0x01020304.
const Bytes kRequest = {2, 0, 0, 0, 1, 0, 0, 0, 4, 3, 2, 1, 1, 0, 0, 0};

Bytes WithTail(Bytes bytes, const Bytes& tail)
{
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}

TEST(ScriptedResponder, ServersAnswerFromTheirOwnAddressesAndRecordRequests)
{
    ResponderProcess responder;
    Peer peer;
    ResponderServer second = responder.AddServer("127.0.0.2");
    ResponderServer third = responder.AddServer("127.0.0.3", second.port);
    EXPECT_EQ(third.port, second.port);

    peer.Send("127.0.0.2", second.port, kRequest);
    Datagram reply = peer.Receive();
    EXPECT_EQ(reply.address, "127.0.0.2");
    EXPECT_EQ(reply.port, second.port);
    EXPECT_EQ(reply.bytes, kRequest);

    Bytes odd = {9, 8, 7};
    peer.Send("127.0.0.3", third.port, odd);
    reply = peer.Receive();
    EXPECT_EQ(reply.address, "127.0.0.3");
    EXPECT_EQ(reply.bytes, WithTail(odd, Bytes(13, 0)));

    // Records larger than one control answer arrive in several pieces.
    Bytes big(kMaxRecorded + 100);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i * 7);
    for (int i = 0; i < 30; ++i)
        peer.Send("127.0.0.3", third.port, big);
    std::vector<ReceivedRequest> requests;
    ASSERT_TRUE(PumpUntil([&] { return (requests = responder.Requests(third)).size() == 31; }));
    EXPECT_EQ(requests[0].bytes, odd);
    EXPECT_EQ(requests[30].bytes, Bytes(big.begin(), big.begin() + kMaxRecorded));
    EXPECT_EQ(requests[30].sourcePort, peer.port);
    for (size_t i = 1; i < requests.size(); ++i)
        EXPECT_GT(requests[i].order, requests[i - 1].order);

    std::vector<ReceivedRequest> first = responder.Requests(second);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].bytes, kRequest);
    EXPECT_LT(first[0].order, requests[0].order);
    EXPECT_LE(first[0].timeMs, requests[0].timeMs);
}

TEST(ScriptedResponder, BehaviourShapesTheReply)
{
    ResponderProcess responder;
    Peer peer;
    ResponderServer server = responder.AddServer("127.0.0.2");
    auto exchange = [&](const Behaviour& behaviour) {
        responder.SetBehaviour(server, behaviour);
        peer.Send(server.address, server.port, kRequest);
        return peer.Receive().bytes;
    };

    Behaviour b;
    b.length = 20;
    b.load = 5;
    EXPECT_EQ(exchange(b), WithTail(kRequest, {0, 0, 0, 5}));
    b.length = 17;
    b.load = 0x05000000;
    EXPECT_EQ(exchange(b), WithTail(kRequest, {5}));

    b = Behaviour();
    b.cmd = 3;
    b.tick = 0;
    EXPECT_EQ(exchange(b), (Bytes{3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
    b = Behaviour();
    b.tick = 0xFFFFFFFF;
    b.tickOffset = 2;
    b.length = 10;
    EXPECT_EQ(exchange(b), (Bytes{2, 0, 0, 0, 1, 0, 0, 0, 1, 0}));
    b = Behaviour();
    b.tickOffset = -4;
    b.length = 40000;
    EXPECT_EQ(exchange(b), WithTail({2, 0, 0, 0, 1, 0, 0, 0, 0, 3, 2, 1, 1, 0, 0, 0}, Bytes(40000 - 16, 0)));

    b = Behaviour();
    b.copies = 3;
    responder.SetBehaviour(server, b);
    peer.Send(server.address, server.port, kRequest);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(peer.Receive().bytes, kRequest);
}

TEST(ScriptedResponder, DelayedAndSilentServersHoldNothingBack)
{
    ResponderProcess responder;
    Peer peer;
    ResponderServer slow = responder.AddServer("127.0.0.2");
    ResponderServer silent = responder.AddServer("127.0.0.3");
    ResponderServer quick = responder.AddServer("127.0.0.4");
    Behaviour delayed;
    delayed.delayMs = 2000;
    responder.SetBehaviour(slow, delayed);
    Behaviour quiet;
    quiet.answer = false;
    responder.SetBehaviour(silent, quiet);

    peer.Send(slow.address, slow.port, kRequest);
    peer.Send(silent.address, silent.port, kRequest);
    peer.Send(quick.address, quick.port, kRequest);
    EXPECT_EQ(peer.Receive().address, "127.0.0.4");
    EXPECT_EQ(peer.Receive().address, "127.0.0.2");
    // The silent server got its request before the slow one answered.
    EXPECT_FALSE(peer.Pending());
    EXPECT_EQ(responder.Requests(silent).size(), 1u);
}

TEST(ScriptedResponder, SendFromForgesDatagramsTowardAPeer)
{
    ResponderProcess responder;
    Peer peer;
    ResponderServer server = responder.AddServer("127.0.0.3");
    responder.SendFrom(server, {1, 2, 3}, "127.0.0.1", peer.port);
    Datagram d = peer.Receive();
    EXPECT_EQ(d.address, "127.0.0.3");
    EXPECT_EQ(d.port, server.port);
    EXPECT_EQ(d.bytes, (Bytes{1, 2, 3}));
    responder.SendFrom(server, {}, "127.0.0.1", peer.port);
    EXPECT_TRUE(peer.Receive().bytes.empty());

    EXPECT_THROW(responder.SendFrom(server, {1}, "10.1.2.3", peer.port), std::runtime_error);
    EXPECT_THROW(responder.AddServer("192.168.1.1"), std::runtime_error);
    responder.Remove(server);
    EXPECT_THROW(responder.Requests(server), std::runtime_error);
}

TEST(ScriptedResponder, QuitEndsTheProgram)
{
    ResponderProcess responder;
    EXPECT_TRUE(responder.Running());
    responder.Quit();
    EXPECT_TRUE(PumpUntil([&] { return !responder.Running(); }));
    EXPECT_THROW(responder.AddServer("127.0.0.2"), std::runtime_error);
}

TEST(LoopbackResponder, AnswersWhenPolled)
{
    Peer peer;
    LoopbackResponder responder;
    Behaviour b;
    b.length = 20;
    b.load = 7;
    b.delayMs = 300;
    b.copies = 2;
    responder.SetBehaviour(b);
    peer.Send("127.0.0.1", responder.Port(), kRequest);
    ASSERT_TRUE(PumpUntil([&] {
        responder.Poll();
        return peer.Pending();
    }));
    ASSERT_EQ(responder.Requests().size(), 1u);
    EXPECT_EQ(responder.Requests()[0].bytes, kRequest);
    EXPECT_EQ(responder.Requests()[0].sourcePort, peer.port);
    Datagram reply = peer.Receive();
    EXPECT_EQ(reply.port, responder.Port());
    EXPECT_EQ(reply.bytes, WithTail(kRequest, {0, 0, 0, 7}));
    ASSERT_TRUE(PumpUntil([&] {
        responder.Poll();
        return peer.Pending();
    }));
    EXPECT_EQ(peer.Receive().bytes, reply.bytes);

    responder.SendTo({4, 5}, peer.port);
    EXPECT_EQ(peer.Receive().bytes, (Bytes{4, 5}));
}

}  // namespace
