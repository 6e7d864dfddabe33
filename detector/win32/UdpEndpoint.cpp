#include "UdpEndpoint.h"

#include <mswsock.h>
#include <string.h>

#include "HostComponents.h"
#include "ProbeProtocol.h"

static_assert(kSendFailed == SOCKET_ERROR, "a refused send's byte count");

namespace {

LONGLONG CounterFrequency()
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
}

// Fixed at boot; read when the module is loaded. A function's own static would
// need the C++ runtime's guard, whose lock (a semaphore) is never freed and
// would stay behind at every unload.
const LONGLONG g_frequency = CounterFrequency();

// The counter in units of 1/perSecond seconds.
uint64_t CounterIn(LONGLONG perSecond)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    // Split the division so that the product cannot overflow 64 bits.
    LONGLONG seconds = now.QuadPart / g_frequency;
    LONGLONG rest = now.QuadPart % g_frequency;
    return (uint64_t)(seconds * perSecond + rest * perSecond / g_frequency);
}

}  // namespace

uint32_t LrdTickCount() { return (uint32_t)CounterIn(1000); }

uint64_t LrdMicroseconds() { return CounterIn(1000000); }

uint64_t SystemClock::Microseconds() { return LrdMicroseconds(); }

bool UdpEndpoint::ReceiveReady() const { return hSocket != INVALID_SOCKET && pRecvBuf != nullptr; }

namespace {

enum : uint32_t { kBufferTag = LRD_DETECTOR_ID };

struct ErrorKind {
    int code;
    ReceiveKind kind;
};

// Windows reports an ICMP "port unreachable" or "TTL expired" for an earlier
// request as a failed receive on an unconnected UDP socket: no datagram is lost
// then, and the next one may be waiting.
const ErrorKind kReceiveErrors[] = {
    {WSAEWOULDBLOCK, ReceiveKind::kNothingWaiting},
    {WSAEMSGSIZE, ReceiveKind::kTruncated},
    {WSAENETRESET, ReceiveKind::kPeerUnreachable},
    {WSAECONNRESET, ReceiveKind::kPeerUnreachable},
};

}  // namespace

ReceiveKind ReceiveKindOfError(int errorCode)
{
    for (const ErrorKind& entry : kReceiveErrors)
        if (entry.code == errorCode)
            return entry.kind;
    return ReceiveKind::kFailed;
}

bool UdpEndpoint::Open()
{
    hSocket = socket(AF_INET, SOCK_DGRAM, 0);
    return hSocket != INVALID_SOCKET;
}

bool UdpEndpoint::SetNonBlocking()
{
    u_long nonBlocking = 1;
    return ioctlsocket(hSocket, FIONBIO, &nonBlocking) != SOCKET_ERROR;
}

void UdpEndpoint::StopResetReports()
{
    // Windows reports an ICMP "port unreachable" for an earlier request as a
    // failed receive (WSAECONNRESET) on an unconnected UDP socket; with the
    // option off it does not.
    BOOL reportResets = FALSE;
    DWORD returned = 0;
    WSAIoctl(hSocket, SIO_UDP_CONNRESET, &reportResets, sizeof reportResets, nullptr, 0, &returned, nullptr, nullptr);
}

void UdpEndpoint::ReadReceiveBufferSize()
{
    int optionLength = sizeof nRecvBufSize;
    // A reply's load field ends at byte 20: a size below that is as good as unread.
    if (getsockopt(hSocket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&nRecvBufSize), &optionLength) ==
            SOCKET_ERROR ||
        nRecvBufSize < 20)
        nRecvBufSize = 1024;
    // The socket's buffer may be far larger than any datagram; ours need not be.
    if (nRecvBufSize > (int32_t)kMaxReceiveBuffer)
        nRecvBufSize = kMaxReceiveBuffer;
}

bool UdpEndpoint::AllocateReceiveBuffer()
{
    void* buffer = nullptr;
    if (!AllocateBuffer(&buffer, (uint32_t)nRecvBufSize, 1, kBufferTag))
        return false;
    pRecvBuf = static_cast<uint8_t*>(buffer);
    return true;
}

void UdpEndpoint::WidenSocketBuffer()
{
    // With the system's default, the replies of a few hundred servers that
    // answer at once fill the socket's buffer and the rest are lost.
    int32_t socketBuffer = kSocketReceiveBuffer;
    setsockopt(hSocket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&socketBuffer), sizeof socketBuffer);
}

bool UdpEndpoint::SetTimeouts(int32_t milliseconds)
{
    return setsockopt(hSocket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&milliseconds),
                      sizeof milliseconds) != SOCKET_ERROR &&
           setsockopt(hSocket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&milliseconds),
                      sizeof milliseconds) != SOCKET_ERROR;
}

void UdpEndpoint::Close()
{
    if (hSocket != INVALID_SOCKET) {
        closesocket(hSocket);
        hSocket = INVALID_SOCKET;
    }
}

void UdpEndpoint::FreeReceiveBuffer()
{
    if (pRecvBuf != nullptr) {
        FreeBuffer(pRecvBuf);
        pRecvBuf = nullptr;
    }
}

SendResult UdpEndpoint::Send(const uint8_t* data, uint32_t size, const char* ip, uint16_t port)
{
    sockaddr_in destination = {};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    // Text that does not convert becomes the broadcast address, which is refused
    // with the others no server answers from.
    destination.sin_addr.s_addr = inet_addr(ip);
    uint8_t address[4];
    memcpy(address, &destination.sin_addr, sizeof address);
    if (!ProbeableAddress(address))
        return SendResult{kSendFailed, (uint32_t)WSAEADDRNOTAVAIL};
    SendResult result;
    result.nSent = sendto(hSocket, reinterpret_cast<const char*>(data), (int)size, 0,
                          reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    result.dwErrorCode = (uint32_t)WSAGetLastError();
    return result;
}

ReceiveResult UdpEndpoint::Receive()
{
    sockaddr_in source = {};
    int sourceLength = sizeof source;
    int32_t count = recvfrom(hSocket, reinterpret_cast<char*>(pRecvBuf), nRecvBufSize, 0,
                             reinterpret_cast<sockaddr*>(&source), &sourceLength);
    ReceiveResult result;
    result.kind = count != SOCKET_ERROR ? ReceiveKind::kDatagram : ReceiveKindOfError(WSAGetLastError());
    if (result.kind == ReceiveKind::kDatagram)
        result.nCount = count;
    else if (result.kind == ReceiveKind::kTruncated)
        result.nCount = nRecvBufSize;  // the datagram's first bytes fill the buffer
    else
        result.nCount = -1;
    result.pData = pRecvBuf;
    memcpy(result.abSource, &source.sin_addr, sizeof result.abSource);
    result.ushSourcePort = ntohs(source.sin_port);
    return result;
}

bool UdpEndpoint::DatagramWaiting()
{
    // The bytes queued (the first datagram's, on some systems): none means no
    // datagram worth a receive. A zero-length one waits for the read
    // notification; a failed look leaves the question to the receive.
    u_long bytes = 0;
    return ioctlsocket(hSocket, FIONREAD, &bytes) == SOCKET_ERROR || bytes != 0;
}
