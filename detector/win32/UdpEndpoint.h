// The detector's UDP socket on WinSock and its clock on this system: the steps
// of the socket's set-up and tear-down, which the detector runs in its own
// order, the send and receive of the probe exchange, and the time that stamps
// them. A receive's failure is folded into a ReceiveKind here, through one table
// of WinSock's error codes. The clock's ticks follow Tick.h.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "ProbeExchange.h"

enum : uint32_t {
    // The detector's own receive buffer: room for the largest datagram, however
    // large the socket's buffer is.
    kMaxReceiveBuffer = 65536,
    // The socket's buffer: room for the replies of a few thousand servers that
    // answer at once. The system may grant less.
    kSocketReceiveBuffer = 4 * 1024 * 1024,
};

// Milliseconds with 1 ms resolution (the system tick count moves in steps of
// 10 to 16 ms, which would read every nearby server as 0 or one step away).
uint32_t LrdTickCount();

// Microseconds on the same clock, for spacing work finer than a tick;
// TickAt(LrdMicroseconds()) is what LrdTickCount reads at that moment.
uint64_t LrdMicroseconds();

// The exchange's clock on this system.
class SystemClock final : public ExchangeClock {
public:
    uint64_t Microseconds() override;
};

// The kind of a receive that failed with the WinSock error code.
ReceiveKind ReceiveKindOfError(int errorCode);

class UdpEndpoint final : public ProbeEndpoint {
public:
    UdpEndpoint() = default;
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    // A UDP socket for IPv4. False when none could be made.
    bool Open();
    bool SetNonBlocking();
    // Asks the system not to report ICMP errors of earlier sends as failed
    // receives; where it refuses, the exchange skips such reports.
    void StopResetReports();
    // The size of the receive buffer: the socket's own buffer size, within the
    // bounds a reply needs and a datagram can have, or 1024 when it cannot be read.
    void ReadReceiveBufferSize();
    // The zeroed receive buffer from the host's memory service. False without it.
    bool AllocateReceiveBuffer();
    // Asks for a socket buffer that holds the replies of many servers at once; a
    // refusal leaves the system's default.
    void WidenSocketBuffer();
    // Both the receive and the send time-out. False when either was refused.
    bool SetTimeouts(int32_t milliseconds);
    // Closes the socket, if one is open.
    void Close();
    // Gives the receive buffer back, if there is one.
    void FreeReceiveBuffer();

    SOCKET Socket() const { return hSocket; }
    bool HoldsReceiveBuffer() const { return pRecvBuf != nullptr; }

    // ProbeEndpoint
    bool SocketOpen() const override { return hSocket != INVALID_SOCKET; }
    bool ReceiveReady() const override;
    // Nothing is sent to an address no server can answer from (ProbeableAddress):
    // the send fails with WSAEADDRNOTAVAIL.
    SendResult Send(const uint8_t* data, uint32_t size, const char* ip, uint16_t port) override;
    ReceiveResult Receive() override;
    bool DatagramWaiting() override;

private:
    SOCKET hSocket = INVALID_SOCKET;
    uint8_t* pRecvBuf = nullptr;
    int32_t nRecvBufSize = 1024;
};
