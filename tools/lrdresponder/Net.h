// The platform edge of lrdresponder: UDP sockets, waiting for datagrams, the
// requests made by signal: stop (SIGINT/SIGTERM on POSIX systems, Ctrl-C or
// closing the console on Windows), read the load file again (SIGHUP) and print
// the counts (SIGUSR1, SIGUSR2), the last two on POSIX systems only; and the few
// file and process calls of a service: the load file, the metrics file, the
// descriptor limit, the journal, the user, the service manager. NetPosix.cpp and NetWindows.cpp
// implement it; everything else is plain C++. Addresses and ports are in host
// byte order.
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

    // Asks the system for a receive queue of `bytes`; `granted` is what it gave
    // (Linux counts its bookkeeping in, so it reports about twice the request).
    // False when the call itself failed.
    bool SetReceiveBuffer(int bytes, int& granted, std::string& error);

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
// passes (negative: no limit). `readable[i]` tells about `sockets[i]`. Builds its
// list of sockets at every call: for a handful of sockets; Poller serves many.
bool Wait(const std::vector<UdpSocket>& sockets, int timeoutMs, std::vector<bool>& readable, std::string& error);

// Waits on a fixed set of sockets at a cost that does not grow with their
// number: epoll on Linux. Windows keeps one WSAPoll list, built once.
class Poller {
public:
    Poller();
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // Watches `sockets`, which must outlive the poller and stay in place.
    bool Watch(const std::vector<UdpSocket>& sockets, std::string& error);

    // Waits as Wait does; `ready` gets the indexes of the sockets that have a
    // datagram (or an error to read), in no particular order.
    bool Wait(int timeoutMs, std::vector<size_t>& ready, std::string& error);

private:
    struct State;
    State* m_state;
};

bool StopRequested();

// Whether a reload (SIGHUP) or the counts (SIGUSR1) were asked for since the last
// call; each request is answered once. Always false on Windows.
bool TakeReloadRequest();
bool TakeCountsRequest();

// Reads at most `room` bytes of the regular file `path` without ever waiting:
// anything else at the path (a pipe, a device, a directory) is refused, since
// opening or reading it could block the one thread that answers. `size` is the
// file's whole size. On failure `error` says why, as "cannot open it: ...".
bool ReadRegularFile(const std::string& path, size_t room, std::string& content, uint64_t& size,
                     std::string& error);

// Replaces `path` with a file that holds `content`, readable by everyone, through
// a temporary file beside it and a rename: a reader sees the old file or the new
// one, never a part.
bool ReplaceFileAtomically(const std::string& path, const std::string& content, std::string& error);

// Raises the limit on open descriptors so that `needed` fit, as far as the hard
// limit allows. Returns the limit now in force (SIZE_MAX where there is none).
size_t RaiseDescriptorLimit(size_t needed);

// Whether the stream (1 standard output, 2 standard error) is the journal's, as
// JOURNAL_STREAM says: its lines may then carry a priority prefix.
bool IsJournalStream(int stream);

// The first IPv4 address of a host name, through the system's resolver; an
// empty text, or the resolver's reason.
std::string ResolveIPv4(const std::string& name, uint32_t& address);

// Whether the program runs as root (POSIX) and may bind every port.
bool RunningAsRoot();

// Drops for good from root to the user `name` and its group, without
// supplementary groups.
bool DropPrivileges(const std::string& name, std::string& error);

// Tells the service manager that started the program (systemd, through the
// datagram socket named by NOTIFY_SOCKET) a state such as "READY=1" or
// "WATCHDOG=1". False when there is none to tell: no NOTIFY_SOCKET, or Windows.
bool NotifyServiceManager(const std::string& state);

// The watchdog time the service manager set for this process (WATCHDOG_USEC,
// when WATCHDOG_PID is unset or names this process), in microseconds; 0: none.
uint64_t WatchdogUsec();

// The program has printed what it prints when it stops. A Windows console that
// is being closed ends the process as soon as its handler returns, so the handler
// waits for this.
void StopHandled();

}  // namespace lrdresponder::net
