#include "LoopbackResponder.h"

#include <winsock2.h>

#include <algorithm>
#include <stdexcept>

LoopbackResponder::LoopbackResponder(uint16_t port)
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    m_socket = s;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    int size = sizeof address;
    u_long nonBlocking = 1;
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0 || ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        closesocket(s);
        throw std::runtime_error("LoopbackResponder: cannot bind 127.0.0.1:" + std::to_string(port));
    }
    m_port = ntohs(address.sin_port);
}

LoopbackResponder::~LoopbackResponder()
{
    closesocket(m_socket);
}

void LoopbackResponder::Poll()
{
    static char buffer[65536];
    sockaddr_in from{};
    int fromSize = sizeof from;
    int size;
    // A reply that was refused by a closed port shows up as a failed receive
    // (WSAECONNRESET); only an empty queue ends the loop.
    while ((size = recvfrom(m_socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromSize)) >= 0 ||
           WSAGetLastError() == WSAECONNRESET) {
        fromSize = sizeof from;
        if (size < 0)
            continue;
        Bytes request(buffer, buffer + size);
        auto now = Clock::now();
        ReceivedRequest record;
        record.order = unsigned(m_requests.size() + 1);
        record.timeMs = unsigned(std::chrono::duration_cast<std::chrono::milliseconds>(now - m_start).count());
        record.sourcePort = ntohs(from.sin_port);
        record.bytes.assign(request.begin(), request.begin() + std::min(request.size(), kMaxRecorded));
        m_requests.push_back(record);
        if (!m_behaviour.answer)
            continue;
        Reply reply{from.sin_addr.s_addr, from.sin_port, BuildReply(request, m_behaviour)};
        for (unsigned copy = 0; copy < m_behaviour.copies; ++copy)
            m_replies.insert({now + std::chrono::milliseconds(m_behaviour.delayMs), reply});
    }
    while (!m_replies.empty() && m_replies.begin()->first <= Clock::now()) {
        const Reply& reply = m_replies.begin()->second;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = reply.address;
        to.sin_port = reply.port;
        sendto(m_socket, reinterpret_cast<const char*>(reply.bytes.data()), int(reply.bytes.size()), 0,
               reinterpret_cast<sockaddr*>(&to), sizeof to);
        m_replies.erase(m_replies.begin());
    }
}

void LoopbackResponder::SendTo(const Bytes& bytes, uint16_t toPort, const char* toAddress)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = inet_addr(toAddress);
    to.sin_port = htons(toPort);
    if ((ntohl(to.sin_addr.s_addr) >> 24) != 127)
        throw std::runtime_error(std::string("LoopbackResponder: not a loopback address: ") + toAddress);
    sendto(m_socket, reinterpret_cast<const char*>(bytes.data()), int(bytes.size()), 0, reinterpret_cast<sockaddr*>(&to),
           sizeof to);
}
