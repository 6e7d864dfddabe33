#include "Net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace lrdresponder::net {

namespace {

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_reload = 0;
volatile sig_atomic_t g_counts = 0;
// The self-pipe: the signal handler writes a byte so that a waiting poll wakes up
// even when the signal lands between the flag check and the poll.
int g_wake[2] = {-1, -1};
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2};

void OnSignal(int signal)
{
    int saved = errno;
    if (signal == SIGHUP)
        g_reload = 1;
    else if (signal == SIGUSR1 || signal == SIGUSR2)
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

// What stands at a path instead of a regular file, for the refusal.
const char* KindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a pipe";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    return "not a regular file";
}

void DrainWake()
{
    char drain[64];
    while (g_wake[0] >= 0 && read(g_wake[0], drain, sizeof drain) > 0) {
    }
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

bool UdpSocket::SetReceiveBuffer(int bytes, int& granted, std::string& error)
{
    int fd = int(m_handle);
    // SO_RCVBUFFORCE passes net.core.rmem_max where the program may (CAP_NET_ADMIN).
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0 &&
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) {
        error = SystemError("SO_RCVBUF");
        return false;
    }
    socklen_t size = sizeof granted;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &size) != 0) {
        error = SystemError("SO_RCVBUF");
        return false;
    }
    return true;
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
    DrainWake();
    for (size_t i = 0; i < sockets.size(); ++i)
        // An error is read (and so cleared) like a datagram, or poll would keep
        // reporting it.
        readable[i] = (fds[i + 1].revents & (POLLIN | POLLERR)) != 0;
    return true;
}

// The wake pipe is registered under this mark instead of a socket index.
constexpr uint64_t kWakeMark = UINT64_MAX;
// Events taken per wait; more ready sockets come with the next wait.
constexpr int kMaxEvents = 256;

struct Poller::State {
    int epoll = -1;
    epoll_event events[kMaxEvents];
};

Poller::Poller() : m_state(new State) {}

Poller::~Poller()
{
    if (m_state->epoll >= 0)
        close(m_state->epoll);
    delete m_state;
}

bool Poller::Watch(const std::vector<UdpSocket>& sockets, std::string& error)
{
    m_state->epoll = epoll_create1(EPOLL_CLOEXEC);
    if (m_state->epoll < 0) {
        error = SystemError("epoll_create1");
        return false;
    }
    auto add = [&](int fd, uint64_t mark) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = mark;
        if (epoll_ctl(m_state->epoll, EPOLL_CTL_ADD, fd, &event) == 0)
            return true;
        error = SystemError("epoll_ctl");
        return false;
    };
    // Without Start there is no wake pipe: the sockets alone are watched.
    if (g_wake[0] >= 0 && !add(g_wake[0], kWakeMark))
        return false;
    for (size_t i = 0; i < sockets.size(); ++i)
        if (!add(int(sockets[i].Handle()), i))
            return false;
    return true;
}

bool Poller::Wait(int timeoutMs, std::vector<size_t>& ready, std::string& error)
{
    ready.clear();
    if (g_stop)
        return true;
    int count = epoll_wait(m_state->epoll, m_state->events, kMaxEvents, timeoutMs);
    if (count < 0) {
        if (errno == EINTR)
            return true;
        error = SystemError("epoll_wait");
        return false;
    }
    // Level-triggered: a socket with datagrams left after its batch, or an error
    // still to be read, is reported again by the next wait.
    for (int i = 0; i < count; ++i) {
        if (m_state->events[i].data.u64 == kWakeMark)
            DrainWake();
        else
            ready.push_back(size_t(m_state->events[i].data.u64));
    }
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

bool ReadRegularFile(const std::string& path, size_t room, std::string& content, uint64_t& size, std::string& error)
{
    // Looked at before it is opened, since opening a device can have effects of
    // its own; and again once open, in case the path changed in between. The
    // non-blocking open returns at once even for a pipe without a writer.
    struct stat status{};
    if (stat(path.c_str(), &status) != 0) {
        error = "cannot open it: " + std::string(std::strerror(errno));
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        error = std::string("cannot read it: it is ") + KindOf(status.st_mode) + ", not a regular file";
        return false;
    }
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = "cannot open it: " + std::string(std::strerror(errno));
        return false;
    }
    bool ok = false;
    if (fstat(fd, &status) != 0) {
        error = "cannot read it: " + std::string(std::strerror(errno));
    } else if (!S_ISREG(status.st_mode)) {
        error = std::string("cannot read it: it is ") + KindOf(status.st_mode) + ", not a regular file";
    } else {
        content.assign(room, '\0');
        size_t got = 0;
        ssize_t n = 0;
        while (got < room && (n = ::read(fd, &content[got], room - got)) > 0)
            got += size_t(n);
        ok = n >= 0;
        content.resize(got);
        size = uint64_t(status.st_size);
        if (!ok)
            error = "cannot read it: " + std::string(std::strerror(errno));
    }
    close(fd);
    return ok;
}

bool ReplaceFileAtomically(const std::string& path, const std::string& content, std::string& error)
{
    std::string temporary = path + ".tmp";
    // O_NOFOLLOW and O_NONBLOCK: a link or a pipe put at the temporary path is
    // refused instead of followed or waited on.
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    struct stat status{};
    bool written = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (!written)
        error = temporary + " is not a regular file";
    // Readable by the metrics collector whatever the service's umask.
    if (written && fchmod(fd, 0644) != 0) {
        error = "cannot write " + temporary + ": " + std::strerror(errno);
        written = false;
    }
    for (size_t done = 0; written && done < content.size();) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n <= 0) {
            error = "cannot write " + temporary + ": " + std::strerror(errno);
            written = false;
        } else {
            done += size_t(n);
        }
    }
    close(fd);
    if (written && rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
        written = false;
    }
    if (!written && S_ISREG(status.st_mode))
        unlink(temporary.c_str());
    return written;
}

size_t RaiseDescriptorLimit(size_t needed)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur == RLIM_INFINITY)
        return SIZE_MAX;
    if (limit.rlim_cur < needed) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? needed : std::min<rlim_t>(needed, limit.rlim_max);
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return size_t(limit.rlim_cur);
}

bool IsJournalStream(int stream)
{
    // "DEVICE:INODE" of the journal's stream socket, set by systemd for its
    // services; a stream redirected elsewhere no longer matches it.
    const char* value = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat status{};
    return value && std::sscanf(value, "%llu:%llu", &device, &inode) == 2 && fstat(stream, &status) == 0 &&
           status.st_dev == dev_t(device) && status.st_ino == ino_t(inode);
}

std::string ResolveIPv4(const std::string& name, uint32_t& address)
{
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    int error = getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (error != 0)
        return gai_strerror(error);
    address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
    return {};
}

bool RunningAsRoot()
{
    return geteuid() == 0;
}

bool DropPrivileges(const std::string& name, std::string& error)
{
    if (geteuid() != 0) {
        error = "--user " + name + ": only root can change its user";
        return false;
    }
    // Read from /etc/passwd itself: the Linux archive is linked statically, and a
    // static program cannot load the system's name services. A service account
    // is a local user.
    std::ifstream passwd("/etc/passwd");
    std::string line;
    bool found = false;
    unsigned long uid = 0, gid = 0;
    while (!found && std::getline(passwd, line)) {
        // name:password:uid:gid:...
        size_t colon = line.find(':');
        if (colon == std::string::npos || line.compare(0, colon, name) != 0 || colon != name.size())
            continue;
        size_t uidAt = line.find(':', colon + 1);
        found = uidAt != std::string::npos &&
                std::sscanf(line.c_str() + uidAt + 1, "%lu:%lu", &uid, &gid) == 2;
    }
    if (!found) {
        error = "--user: no user '" + name + "' in /etc/passwd";
        return false;
    }
    if (setgroups(0, nullptr) != 0 || setgid(gid_t(gid)) != 0 || setuid(uid_t(uid)) != 0) {
        error = "--user " + name + ": " + std::strerror(errno);
        return false;
    }
    if (uid != 0 && setuid(0) == 0) {
        error = "--user " + name + ": root could be taken back";
        return false;
    }
    return true;
}

bool NotifyServiceManager(const std::string& state)
{
    // A path, or after "@" the name of an abstract socket; a few lines instead
    // of a library, which the static program could not load anyway. Never
    // waits: a manager that reads no more (a full queue) must not stop the
    // answers; it learns of the stall from the missing keep-alives.
    const char* name = std::getenv("NOTIFY_SOCKET");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    size_t length = name ? std::strlen(name) : 0;
    if (length < 2 || length >= sizeof address.sun_path || (name[0] != '/' && name[0] != '@'))
        return false;
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@')
        address.sun_path[0] = '\0';
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    bool sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
                       socklen_t(offsetof(sockaddr_un, sun_path) + length)) == ssize_t(state.size());
    close(fd);
    return sent;
}

uint64_t WatchdogUsec()
{
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    unsigned long long value = 0, owner = 0;
    if (!usec || std::sscanf(usec, "%llu", &value) != 1)
        return 0;
    // Set for another process, which passed its environment on.
    if (pid && (std::sscanf(pid, "%llu", &owner) != 1 || owner != (unsigned long long)getpid()))
        return 0;
    return value;
}

void StopHandled() {}

}  // namespace lrdresponder::net
