#include "ProcessCensus.h"

#include <winternl.h>

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

Leftovers CountLeftovers()
{
    Leftovers census = {};
    census.tlsIndex = TlsAlloc();
    TlsFree(census.tlsIndex);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    census.nextHandle = reinterpret_cast<uintptr_t>(event);
    CloseHandle(event);
    typedef NTSTATUS(NTAPI * QueryObject)(HANDLE, int, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    const int kObjectTypeInformation = 2;
    for (uintptr_t value = 4; value < census.nextHandle + 0x4000 && query != nullptr; value += 4) {
        alignas(8) char type[512];
        ULONG size = 0;
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) &&
            query(reinterpret_cast<HANDLE>(value), kObjectTypeInformation, type, sizeof type, &size) == 0) {
            const UNICODE_STRING& name = *reinterpret_cast<UNICODE_STRING*>(type);
            if (name.Length == 9 * sizeof(WCHAR) && wcsncmp(name.Buffer, L"Semaphore", 9) == 0)
                ++census.semaphores;
        }
    }
    int64_t blocks = 0;
    HeapInUse(census.heapBytes, blocks);
    return census;
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
