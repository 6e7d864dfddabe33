#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "Net.h"

namespace lrdresponder::net {

namespace {

std::atomic<bool> g_stop{false};
// The console handler runs on a thread of its own; it wakes the waiting loop by
// sending a byte to this loopback socket, which every wait includes.
SOCKET g_wake = INVALID_SOCKET;
sockaddr_in g_wakeAddress{};
HANDLE g_handled = nullptr;
// Found through the first socket opened; every later one shares the provider.
std::atomic<LPFN_WSARECVMSG> g_recvMsg{nullptr};

std::string SocketError(const char* what)
{
    return std::string(what) + ": WinSock error " + std::to_string(WSAGetLastError());
}

sockaddr_in SocketAddress(const Endpoint& endpoint)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(endpoint.address);
    address.sin_port = htons(endpoint.port);
    return address;
}

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    g_stop = true;
    char byte = 1;
    sendto(g_wake, &byte, 1, 0, reinterpret_cast<sockaddr*>(&g_wakeAddress), sizeof g_wakeAddress);
    // Closing the console, logging off and shutting down end the process when
    // this returns; the system allows a few seconds, enough to print the counts.
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        WaitForSingleObject(g_handled, 4000);
    return TRUE;
}

// WSARecvMsg is reached through the extension pointer of some socket.
bool LoadRecvMsg(SOCKET socket, std::string& error)
{
    if (g_recvMsg)
        return true;
    GUID id = WSAID_WSARECVMSG;
    LPFN_WSARECVMSG recvMsg = nullptr;
    DWORD bytes = 0;
    if (WSAIoctl(socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &recvMsg, sizeof recvMsg, &bytes,
                 nullptr, nullptr) != 0) {
        error = SocketError("WSARecvMsg");
        return false;
    }
    g_recvMsg = recvMsg;
    return true;
}

}  // namespace

bool Start(std::string& error)
{
    WSADATA data;
    if (int result = WSAStartup(MAKEWORD(2, 2), &data); result != 0) {
        error = "WSAStartup: WinSock error " + std::to_string(result);
        return false;
    }
    g_wake = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    g_wakeAddress = SocketAddress({INADDR_LOOPBACK, 0});
    int size = sizeof g_wakeAddress;
    u_long nonBlocking = 1;
    if (g_wake == INVALID_SOCKET ||
        bind(g_wake, reinterpret_cast<sockaddr*>(&g_wakeAddress), sizeof g_wakeAddress) != 0 ||
        getsockname(g_wake, reinterpret_cast<sockaddr*>(&g_wakeAddress), &size) != 0 ||
        ioctlsocket(g_wake, FIONBIO, &nonBlocking) != 0) {
        error = SocketError("wake socket");
        return false;
    }
    g_handled = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!g_handled || !SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) {
        error = "console handler: error " + std::to_string(GetLastError());
        return false;
    }
    return true;
}

void Finish()
{
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    if (g_wake != INVALID_SOCKET)
        closesocket(g_wake);
    g_wake = INVALID_SOCKET;
    WSACleanup();
}

UdpSocket::~UdpSocket()
{
    if (m_handle != std::intptr_t(INVALID_SOCKET))
        closesocket(SOCKET(m_handle));
}

UdpSocket::UdpSocket(UdpSocket&& other) noexcept : m_handle(other.m_handle), m_systemDrops(other.m_systemDrops)
{
    other.m_handle = std::intptr_t(INVALID_SOCKET);
}

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept
{
    std::swap(m_handle, other.m_handle);
    std::swap(m_systemDrops, other.m_systemDrops);
    return *this;
}

bool UdpSocket::Open(const Endpoint& local, std::string& error)
{
    SOCKET handle = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (handle == INVALID_SOCKET) {
        error = SocketError("socket");
        return false;
    }
    u_long nonBlocking = 1;
    BOOL off = FALSE, on = TRUE;
    DWORD bytes = 0;
    sockaddr_in address = SocketAddress(local);
    if (!LoadRecvMsg(handle, error)) {
        closesocket(handle);
        return false;
    }
    if (ioctlsocket(handle, FIONBIO, &nonBlocking) != 0) {
        error = SocketError("FIONBIO");
    // Without this, a port-unreachable notice for an earlier answer makes the
    // next receive fail instead of returning the next request.
    } else if (WSAIoctl(handle, SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &bytes, nullptr, nullptr) != 0) {
        error = SocketError("SIO_UDP_CONNRESET");
    } else if (setsockopt(handle, IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        error = SocketError("IP_PKTINFO");
    } else if (bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = SocketError("bind");
    } else {
        m_handle = std::intptr_t(handle);
        return true;
    }
    closesocket(handle);
    return false;
}

bool UdpSocket::SetReceiveBuffer(int bytes, int& granted, std::string& error)
{
    int size = sizeof granted;
    if (setsockopt(SOCKET(m_handle), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes) != 0 ||
        getsockopt(SOCKET(m_handle), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&granted), &size) != 0) {
        error = SocketError("SO_RCVBUF");
        return false;
    }
    return true;
}

Endpoint UdpSocket::Local() const
{
    sockaddr_in address{};
    int size = sizeof address;
    if (getsockname(SOCKET(m_handle), reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return {};
    return {ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

bool UdpSocket::Receive(uint8_t* buffer, size_t room, size_t& size, Endpoint& from, uint32_t& to)
{
    sockaddr_in source{};
    char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))];
    WSABUF data{ULONG(room), reinterpret_cast<char*>(buffer)};
    WSAMSG message{};
    message.name = reinterpret_cast<sockaddr*>(&source);
    message.namelen = sizeof source;
    message.lpBuffers = &data;
    message.dwBufferCount = 1;
    message.Control = {sizeof control, control};
    DWORD received = 0;
    if (g_recvMsg.load()(SOCKET(m_handle), &message, &received, nullptr, nullptr) != 0)
        return false;

    size = received;
    from = {ntohl(source.sin_addr.s_addr), ntohs(source.sin_port)};
    to = 0;
    for (WSACMSGHDR* item = WSA_CMSG_FIRSTHDR(&message); item; item = WSA_CMSG_NXTHDR(&message, item)) {
        if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
            IN_PKTINFO info;
            memcpy(&info, WSA_CMSG_DATA(item), sizeof info);
            uint32_t address = ntohl(info.ipi_addr.s_addr);
            // A broadcast or multicast destination cannot be an answer's source.
            if (address != INADDR_BROADCAST && !IN_MULTICAST(address))
                to = address;
        }
    }
    return true;
}

bool UdpSocket::Send(const uint8_t* data, size_t size, const Endpoint& to, uint32_t source)
{
    sockaddr_in target = SocketAddress(to);
    WSABUF payload{ULONG(size), reinterpret_cast<char*>(const_cast<uint8_t*>(data))};
    char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))]{};
    WSAMSG message{};
    message.name = reinterpret_cast<sockaddr*>(&target);
    message.namelen = sizeof target;
    message.lpBuffers = &payload;
    message.dwBufferCount = 1;
    if (source != 0) {
        message.Control = {sizeof control, control};
        WSACMSGHDR* item = WSA_CMSG_FIRSTHDR(&message);
        item->cmsg_level = IPPROTO_IP;
        item->cmsg_type = IP_PKTINFO;
        item->cmsg_len = WSA_CMSG_LEN(sizeof(IN_PKTINFO));
        IN_PKTINFO info{};
        info.ipi_addr.s_addr = htonl(source);
        memcpy(WSA_CMSG_DATA(item), &info, sizeof info);
    }
    DWORD sent = 0;
    return WSASendMsg(SOCKET(m_handle), &message, 0, &sent, nullptr, nullptr) == 0 && sent == size;
}

bool Wait(const std::vector<UdpSocket>& sockets, int timeoutMs, std::vector<bool>& readable, std::string& error)
{
    std::vector<WSAPOLLFD> fds{{g_wake, POLLRDNORM, 0}};
    for (const UdpSocket& socket : sockets)
        fds.push_back({SOCKET(socket.Handle()), POLLRDNORM, 0});
    readable.assign(sockets.size(), false);
    if (g_stop)
        return true;
    if (WSAPoll(fds.data(), ULONG(fds.size()), timeoutMs) == SOCKET_ERROR) {
        error = SocketError("WSAPoll");
        return false;
    }
    char drain[64];
    while (recv(g_wake, drain, sizeof drain, 0) > 0) {
    }
    // An error is read (and so cleared) like a datagram, or the poll would keep
    // reporting it.
    for (size_t i = 0; i < sockets.size(); ++i)
        readable[i] = (fds[i + 1].revents & (POLLRDNORM | POLLERR)) != 0;
    return true;
}

// Windows keeps its own way: one WSAPoll list over every socket, built once.
struct Poller::State {
    std::vector<WSAPOLLFD> fds;
};

Poller::Poller() : m_state(new State) {}

Poller::~Poller()
{
    delete m_state;
}

bool Poller::Watch(const std::vector<UdpSocket>& sockets, std::string&)
{
    m_state->fds.assign(1, {g_wake, POLLRDNORM, 0});
    for (const UdpSocket& socket : sockets)
        m_state->fds.push_back({SOCKET(socket.Handle()), POLLRDNORM, 0});
    return true;
}

bool Poller::Wait(int timeoutMs, std::vector<size_t>& ready, std::string& error)
{
    ready.clear();
    if (g_stop)
        return true;
    std::vector<WSAPOLLFD>& fds = m_state->fds;
    for (WSAPOLLFD& fd : fds)
        fd.revents = 0;
    if (WSAPoll(fds.data(), ULONG(fds.size()), timeoutMs) == SOCKET_ERROR) {
        error = SocketError("WSAPoll");
        return false;
    }
    char drain[64];
    while (recv(g_wake, drain, sizeof drain, 0) > 0) {
    }
    for (size_t i = 1; i < fds.size(); ++i)
        if (fds[i].revents & (POLLRDNORM | POLLERR))
            ready.push_back(i - 1);
    return true;
}

bool StopRequested()
{
    return g_stop;
}

bool TakeReloadRequest()
{
    return false;
}

bool TakeCountsRequest()
{
    return false;
}

bool CountsSystemDrops()
{
    return false;
}

bool ReadRegularFile(const std::string& path, size_t room, std::string& content, uint64_t& size, std::string& error)
{
    // Only a file on a disk: a named pipe could keep the read waiting.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        error = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                    ? "cannot open it: No such file or directory"
                    : "cannot open it: error " + std::to_string(code);
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    bool ok = false;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = "cannot read it: it is not a regular file";
    } else {
        content.assign(room, '\0');
        DWORD got = 0;
        ok = ReadFile(file, &content[0], DWORD(room), &got, nullptr) != 0;
        content.resize(ok ? got : 0);
        size = uint64_t(information.nFileSizeHigh) << 32 | information.nFileSizeLow;
        if (!ok)
            error = "cannot read it: error " + std::to_string(GetLastError());
    }
    CloseHandle(file);
    return ok;
}

bool ReplaceFileAtomically(const std::string& path, const std::string& content, std::string& error)
{
    std::string temporary = path + ".tmp";
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "cannot write " + temporary + ": error " + std::to_string(GetLastError());
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(file, content.data(), DWORD(content.size()), &written, nullptr) && written == content.size();
    if (!ok)
        error = "cannot write " + temporary + ": error " + std::to_string(GetLastError());
    CloseHandle(file);
    if (ok && !MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        error = "cannot rename " + temporary + " to " + path + ": error " + std::to_string(GetLastError());
        ok = false;
    }
    if (!ok)
        DeleteFileA(temporary.c_str());
    return ok;
}

size_t RaiseDescriptorLimit(size_t)
{
    return SIZE_MAX;
}

bool IsJournalStream(int)
{
    return false;
}

std::string ResolveIPv4(const std::string& name, uint32_t& address)
{
    // Names are resolved while the command line is read, before Start.
    WSADATA data;
    int started = WSAStartup(MAKEWORD(2, 2), &data);
    if (started != 0)
        return "WSAStartup failed with " + std::to_string(started);
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    int error = getaddrinfo(name.c_str(), nullptr, &hints, &found);
    std::string why;
    if (error != 0) {
        why = "error " + std::to_string(error);
    } else {
        address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
        freeaddrinfo(found);
    }
    WSACleanup();
    return why;
}

bool RunningAsRoot()
{
    return false;
}

bool DropPrivileges(const std::string&, std::string& error)
{
    error = "--user: not available on Windows";
    return false;
}

// Windows services have no notification socket; the service control manager
// learns of a start from the process itself.
bool NotifyServiceManager(const std::string&)
{
    return false;
}

uint64_t WatchdogUsec()
{
    return 0;
}

void StopHandled()
{
    if (g_handled)
        SetEvent(g_handled);
}

}  // namespace lrdresponder::net
