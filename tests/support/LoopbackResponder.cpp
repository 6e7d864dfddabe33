#include "LoopbackResponder.h"

#include <algorithm>
#include <stdexcept>

#include "AddressText.h"

namespace net = lrdresponder::net;

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

}  // namespace

LoopbackResponder::LoopbackResponder(uint16_t port)
{
    std::string error;
    if (!m_socket.Open({kLoopback, port}, error))
        throw std::runtime_error("LoopbackResponder: cannot bind 127.0.0.1:" + std::to_string(port) + ": " + error);
    m_port = m_socket.Local().port;
}

LoopbackResponder::~LoopbackResponder() = default;

void LoopbackResponder::Poll()
{
    static uint8_t buffer[65536];
    size_t size = 0;
    net::Endpoint from;
    uint32_t to = 0;
    while (m_socket.Receive(buffer, sizeof buffer, size, from, to)) {
        Bytes request(buffer, buffer + size);
        auto now = Clock::now();
        ReceivedRequest record;
        record.order = unsigned(m_requests.size() + 1);
        record.timeMs = unsigned(std::chrono::duration_cast<std::chrono::milliseconds>(now - m_start).count());
        record.sourcePort = from.port;
        record.bytes.assign(request.begin(), request.begin() + std::min(request.size(), kMaxRecorded));
        m_requests.push_back(record);
        if (!m_behaviour.answer)
            continue;
        Reply reply{from, BuildReply(request, m_behaviour)};
        for (unsigned copy = 0; copy < m_behaviour.copies; ++copy)
            m_replies.insert({now + std::chrono::milliseconds(m_behaviour.delayMs), reply});
    }
    while (!m_replies.empty() && m_replies.begin()->first <= Clock::now()) {
        const Reply& reply = m_replies.begin()->second;
        m_socket.Send(reply.bytes.data(), reply.bytes.size(), reply.to, 0);
        m_replies.erase(m_replies.begin());
    }
}

void LoopbackResponder::SendTo(const Bytes& bytes, uint16_t toPort, const char* toAddress)
{
    uint32_t address = 0;
    if (!lrdtools::ParseAddress(toAddress, address) || (address >> 24) != 127)
        throw std::runtime_error(std::string("LoopbackResponder: not a loopback address: ") + toAddress);
    m_socket.Send(bytes.data(), bytes.size(), {address, toPort}, 0);
}
