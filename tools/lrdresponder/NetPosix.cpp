#include "Net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lrdresponder::net {

namespace {

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_reload = 0;
volatile sig_atomic_t g_counts = 0;
// The self-pipe: the signal handler writes a byte so that a waiting poll wakes up
// even when the signal lands between the flag check and the poll.
int g_wake[2] = {-1, -1};
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGUSR1};

void OnSignal(int signal)
{
    int saved = errno;
    if (signal == SIGHUP)
        g_reload = 1;
    else if (signal == SIGUSR1)
        g_counts = 1;
    else
        g_stop = 1;
    char byte = 1;
    [[maybe_unused]] ssize_t ignored = write(g_wake[1], &byte, 1);
    errno = saved;
}

std::string SystemError(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

sockaddr_in SocketAddress(const Endpoint& endpoint)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(endpoint.address);
    address.sin_port = htons(endpoint.port);
    return address;
}

}  // namespace

bool Start(std::string& error)
{
    if (pipe2(g_wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = SystemError("pipe");
        return false;
    }
    struct sigaction action{};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals) {
        if (sigaction(signal, &action, nullptr) != 0) {
            error = SystemError("sigaction");
            return false;
        }
    }
    return true;
}

void Finish()
{
    for (int signal : kSignals)
        ::signal(signal, SIG_DFL);
    for (int& fd : g_wake) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

UdpSocket::~UdpSocket()
{
    if (m_handle >= 0)
        close(int(m_handle));
}

UdpSocket::UdpSocket(UdpSocket&& other) noexcept : m_handle(other.m_handle), m_systemDrops(other.m_systemDrops)
{
    other.m_handle = -1;
}

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept
{
    std::swap(m_handle, other.m_handle);
    std::swap(m_systemDrops, other.m_systemDrops);
    return *this;
}

bool UdpSocket::Open(const Endpoint& local, std::string& error)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = SystemError("socket");
        return false;
    }
    int on = 1;
    sockaddr_in address = SocketAddress(local);
    if (setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
        error = SystemError("IP_PKTINFO");
#ifdef SO_RXQ_OVFL
    } else if (setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0) {
        error = SystemError("SO_RXQ_OVFL");
#endif
    } else if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = SystemError("bind");
    } else {
        m_handle = fd;
        return true;
    }
    close(fd);
    return false;
}

Endpoint UdpSocket::Local() const
{
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (getsockname(int(m_handle), reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return {};
    return {ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

bool UdpSocket::Receive(uint8_t* buffer, size_t room, size_t& size, Endpoint& from, uint32_t& to)
{
    sockaddr_in source{};
    iovec data{buffer, room};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(uint32_t))];
    msghdr message{};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t received = recvmsg(int(m_handle), &message, 0);
    if (received < 0)
        return false;

    size = size_t(received);
    from = {ntohl(source.sin_addr.s_addr), ntohs(source.sin_port)};
    to = 0;
    for (cmsghdr* item = CMSG_FIRSTHDR(&message); item; item = CMSG_NXTHDR(&message, item)) {
        if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(item), sizeof info);
            // The local address the datagram arrived on, never a broadcast one.
            to = ntohl(info.ipi_spec_dst.s_addr);
#ifdef SO_RXQ_OVFL
        } else if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SO_RXQ_OVFL) {
            // The socket's drop counter when this datagram was queued: it only
            // grows (wrapping at 32 bits), and comes only once it is not 0.
            uint32_t dropped;
            std::memcpy(&dropped, CMSG_DATA(item), sizeof dropped);
            m_systemDrops += uint32_t(dropped - uint32_t(m_systemDrops));
#endif
        }
    }
    return true;
}

bool UdpSocket::Send(const uint8_t* data, size_t size, const Endpoint& to, uint32_t source)
{
    sockaddr_in target = SocketAddress(to);
    iovec payload{const_cast<uint8_t*>(data), size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))]{};
    msghdr message{};
    message.msg_name = &target;
    message.msg_namelen = sizeof target;
    message.msg_iov = &payload;
    message.msg_iovlen = 1;
    if (source != 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* item = CMSG_FIRSTHDR(&message);
        item->cmsg_level = IPPROTO_IP;
        item->cmsg_type = IP_PKTINFO;
        item->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = htonl(source);
        std::memcpy(CMSG_DATA(item), &info, sizeof info);
    }
    return sendmsg(int(m_handle), &message, 0) == ssize_t(size);
}

bool Wait(const std::vector<UdpSocket>& sockets, int timeoutMs, std::vector<bool>& readable, std::string& error)
{
    // Without Start the self-pipe is -1, which poll skips.
    std::vector<pollfd> fds{{g_wake[0], POLLIN, 0}};
    for (const UdpSocket& socket : sockets)
        fds.push_back({int(socket.Handle()), POLLIN, 0});
    readable.assign(sockets.size(), false);
    if (g_stop)
        return true;
    if (poll(fds.data(), fds.size(), timeoutMs) < 0) {
        if (errno == EINTR)
            return true;
        error = SystemError("poll");
        return false;
    }
    char drain[64];
    while (read(g_wake[0], drain, sizeof drain) > 0) {
    }
    for (size_t i = 0; i < sockets.size(); ++i)
        // An error is read (and so cleared) like a datagram, or poll would keep
        // reporting it.
        readable[i] = (fds[i + 1].revents & (POLLIN | POLLERR)) != 0;
    return true;
}

bool StopRequested()
{
    return g_stop != 0;
}

bool TakeReloadRequest()
{
    // A signal between the test and the clearing is answered by this request.
    if (g_reload == 0)
        return false;
    g_reload = 0;
    return true;
}

bool TakeCountsRequest()
{
    // A signal between the test and the clearing is answered by this request.
    if (g_counts == 0)
        return false;
    g_counts = 0;
    return true;
}

bool CountsSystemDrops()
{
#ifdef SO_RXQ_OVFL
    return true;
#else
    return false;
#endif
}

void StopHandled() {}

}  // namespace lrdresponder::net
