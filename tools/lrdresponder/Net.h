// The platform edge of lrdresponder: UDP sockets, waiting for datagrams, and the
// requests made by signal: stop (SIGINT/SIGTERM on POSIX systems, Ctrl-C or
// closing the console on Windows), read the load file again (SIGHUP) and print
// the counts (SIGUSR1), the last two on POSIX systems only. NetPosix.cpp and
// NetWindows.cpp implement it; everything else is plain C++. Addresses and ports
// are in host byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace lrdresponder::net {

struct Endpoint {
    uint32_t address = 0;
    uint16_t port = 0;
};

// Starts the socket library and the stop handling. On failure `error` says why.
// A program that wants sockets without the stop handling starts the socket
// library itself instead (WSAStartup on Windows, nothing on POSIX systems); on
// POSIX systems Wait then watches the sockets alone.
bool Start(std::string& error);
void Finish();

class UdpSocket {
public:
    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(UdpSocket&& other) noexcept;
    UdpSocket& operator=(UdpSocket&& other) noexcept;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // A non-blocking socket bound to `local`, which also learns the local address
    // each datagram was sent to, so that an answer can leave from that address
    // even when the socket is bound to every address.
    bool Open(const Endpoint& local, std::string& error);

    // The address and port the socket is bound to: the port the system chose when
    // it was opened with port 0. Port 0 when the system cannot tell.
    Endpoint Local() const;

    // The next queued datagram: false when there is none. Errors that only report
    // an earlier send's fate (a port-unreachable notice) count as none. `to` is the
    // local address the datagram was sent to, 0 when the system did not say.
    bool Receive(uint8_t* buffer, size_t room, size_t& size, Endpoint& from, uint32_t& to);

    // Sends from `source` (the address a request came to) when it is not 0.
    bool Send(const uint8_t* data, size_t size, const Endpoint& to, uint32_t source);

    // Datagrams the system dropped because the socket's queue was full, as far as
    // the datagrams received so far tell (see CountsSystemDrops).
    uint64_t SystemDrops() const { return m_systemDrops; }

    std::intptr_t Handle() const { return m_handle; }

private:
    std::intptr_t m_handle = -1;
    uint64_t m_systemDrops = 0;
};

// Whether the system reports the datagrams it drops: Linux does (SO_RXQ_OVFL),
// Windows does not.
bool CountsSystemDrops();

// Waits until a socket has a datagram, a stop is requested, or `timeoutMs`
// passes (negative: no limit). `readable[i]` tells about `sockets[i]`.
bool Wait(const std::vector<UdpSocket>& sockets, int timeoutMs, std::vector<bool>& readable, std::string& error);

bool StopRequested();

// Whether a reload (SIGHUP) or the counts (SIGUSR1) were asked for since the last
// call; each request is answered once. Always false on Windows.
bool TakeReloadRequest();
bool TakeCountsRequest();

// The program has printed what it prints when it stops. A Windows console that
// is being closed ends the process as soon as its handler returns, so the handler
// waits for this.
void StopHandled();

}  // namespace lrdresponder::net
