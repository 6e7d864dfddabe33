// A scripted UDP server on 127.0.0.1 inside the test process. It does its work
// only when polled, so a test drives it from its own message-pump predicates:
//   PumpUntil([&] { responder.Poll(); return sink.replies == 1; });
// The caller has started WinSock; the sockets are lrdresponder's own. For
// servers with other addresses see ScriptedResponder.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <vector>

#include "Net.h"
#include "ResponderBehaviour.h"

class LoopbackResponder {
public:
    // Port 0 takes a free one. Throws std::runtime_error when the bind fails.
    explicit LoopbackResponder(uint16_t port = 0);
    ~LoopbackResponder();
    LoopbackResponder(const LoopbackResponder&) = delete;
    LoopbackResponder& operator=(const LoopbackResponder&) = delete;

    uint16_t Port() const { return m_port; }
    void SetBehaviour(const Behaviour& behaviour) { m_behaviour = behaviour; }
    // Takes every datagram that has arrived and sends the replies that are due.
    void Poll();
    const std::vector<ReceivedRequest>& Requests() const { return m_requests; }
    void SendTo(const Bytes& bytes, uint16_t toPort, const char* toAddress = "127.0.0.1");

private:
    using Clock = std::chrono::steady_clock;
    struct Reply {
        lrdresponder::net::Endpoint to;
        Bytes bytes;
    };

    lrdresponder::net::UdpSocket m_socket;
    uint16_t m_port = 0;
    Behaviour m_behaviour;
    Clock::time_point m_start = Clock::now();
    std::vector<ReceivedRequest> m_requests;
    std::multimap<Clock::time_point, Reply> m_replies;
};
