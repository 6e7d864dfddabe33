// What the test process holds, for tests that must find it unchanged after the
// module has worked: heap in use, open kernel handles; and a loopback echo server
// that keeps nothing, so that the test's own use of the heap stays the same.
#pragma once

#include <winsock2.h>

#include <stdint.h>

// Open kernel handles (sockets and events among them) below limit, counted one by
// one: handle values are multiples of 4, and Wine answers no handle count.
DWORD OpenHandles(uintptr_t limit = 0x10000 * 4);

// Bytes and blocks in use on every heap of the process.
void HeapInUse(int64_t& bytes, int64_t& blocks);

// What an unloaded library can leave behind, as the process hands it out next:
// the next TLS index, the next handle value (the lowest free one, under Wine)
// and how many of the open handles are semaphores; and the heap in use.
struct Leftovers {
    DWORD tlsIndex;
    uintptr_t nextHandle;
    DWORD semaphores;
    int64_t heapBytes;
};
Leftovers CountLeftovers();

// A UDP server on 127.0.0.1 that sends every datagram straight back when polled.
// The caller has started WinSock.
class EchoServer {
public:
    EchoServer();
    ~EchoServer();
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    void Poll();
    uint16_t port = 0;

private:
    SOCKET m_socket;
};
