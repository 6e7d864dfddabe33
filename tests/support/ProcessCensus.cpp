#include "ProcessCensus.h"

DWORD OpenHandles(uintptr_t limit)
{
    DWORD open = 0;
    for (uintptr_t value = 4; value < limit; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++open;
    }
    return open;
}

void HeapInUse(int64_t& bytes, int64_t& blocks)
{
    bytes = blocks = 0;
    HANDLE heaps[256];
    DWORD count = GetProcessHeaps(256, heaps);
    for (DWORD i = 0; i < count && i < 256; ++i) {
        if (!HeapLock(heaps[i]))
            continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heaps[i], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
                bytes += entry.cbData;
                ++blocks;
            }
        }
        HeapUnlock(heaps[i]);
    }
}

EchoServer::EchoServer()
{
    m_socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof own;
    u_long nonBlocking = 1;
    bind(m_socket, reinterpret_cast<sockaddr*>(&own), sizeof own);
    getsockname(m_socket, reinterpret_cast<sockaddr*>(&own), &size);
    ioctlsocket(m_socket, FIONBIO, &nonBlocking);
    port = ntohs(own.sin_port);
}

EchoServer::~EchoServer() { closesocket(m_socket); }

void EchoServer::Poll()
{
    char buffer[64];
    sockaddr_in from{};
    int fromSize = sizeof from;
    int size;
    while ((size = recvfrom(m_socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromSize)) >= 0 ||
           WSAGetLastError() == WSAECONNRESET) {
        if (size >= 0)
            sendto(m_socket, buffer, size, 0, reinterpret_cast<sockaddr*>(&from), fromSize);
        fromSize = sizeof from;
    }
}
