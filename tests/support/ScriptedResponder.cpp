#include "ScriptedResponder.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace {

constexpr DWORD kAnswerTimeoutMs = 10000;

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// The next datagram from the given port of 127.0.0.1 (any port when 0), or
// false when none came before the deadline.
bool ReceiveFrom(SOCKET s, uint16_t port, DWORD timeoutMs, std::string& text, uint16_t& sourcePort)
{
    static char buffer[65536];
    DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return false;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval wait{long((timeoutMs - elapsed) / 1000), long((timeoutMs - elapsed) % 1000 * 1000)};
        if (select(0, &readable, nullptr, nullptr, &wait) <= 0)
            continue;
        sockaddr_in from{};
        int fromSize = sizeof from;
        int size = recvfrom(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (size < 0 || from.sin_addr.s_addr != htonl(INADDR_LOOPBACK) || (port != 0 && ntohs(from.sin_port) != port))
            continue;
        text.assign(buffer, size);
        sourcePort = ntohs(from.sin_port);
        return true;
    }
}

std::runtime_error Failure(const std::string& what)
{
    return std::runtime_error("lrd_test_responder: " + what);
}

}  // namespace

ResponderProcess::ResponderProcess(const std::string& program)
{
    const std::string path = program.empty() ? LRD_RESPONDER_PATH : program;
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    m_socket = s;
    sockaddr_in own = Loopback(0);
    int size = sizeof own;
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&own), &size) != 0) {
        closesocket(s);
        WSACleanup();
        throw Failure("no control socket");
    }

    // Wine starts a Unix program given by its Unix path; the process it returns
    // cannot be waited for, so the program's end is the quit command.
    std::string commandLine = "\"" + path + "\" " + (program.empty() ? "" : "--control ") +
                              std::to_string(ntohs(own.sin_port));
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::string hello;
    uint16_t port = 0;
    bool started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                  &process) != 0;
    if (started) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    std::istringstream in;
    std::string word;
    unsigned announced = 0;
    if (started && ReceiveFrom(s, 0, kAnswerTimeoutMs, hello, port)) {
        in.str(hello);
        in >> word >> announced >> m_pid;
    }
    if (word != "hello" || announced != port) {
        closesocket(s);
        WSACleanup();
        throw Failure(started ? "no greeting from " + path : "cannot start " + path);
    }
    m_responderPort = port;
    m_name = path.substr(path.find_last_of('/') + 1);
}

ResponderProcess::~ResponderProcess()
{
    try {
        Quit();
    } catch (const std::exception&) {
        // Without an answer the program ends by itself once commands stop.
    }
    closesocket(m_socket);
    WSACleanup();
}

std::string ResponderProcess::Command(const std::string& command)
{
    if (m_quit)
        throw std::runtime_error(m_name + ": already quit: " + command);
    std::string tag = std::to_string(++m_tag);
    std::string datagram = tag + " " + command;
    sockaddr_in to = Loopback(m_responderPort);
    sendto(m_socket, datagram.data(), int(datagram.size()), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    // Answers to earlier commands that timed out carry other tags.
    std::string answer;
    uint16_t port;
    while (ReceiveFrom(m_socket, m_responderPort, kAnswerTimeoutMs, answer, port)) {
        if (answer.compare(0, tag.size() + 1, tag + " ") != 0)
            continue;
        answer.erase(0, tag.size() + 1);
        if (answer.compare(0, 2, "ok") != 0)
            throw std::runtime_error(m_name + ": " + command.substr(0, 80) + ": " + answer);
        return answer.size() > 3 ? answer.substr(3) : std::string();
    }
    throw std::runtime_error(m_name + ": no answer to " + command.substr(0, 80));
}

ResponderServer ResponderProcess::AddServer(const char* address, uint16_t port)
{
    ResponderServer server;
    server.address = address;
    std::istringstream in(Command("add " + server.address + " " + std::to_string(port)));
    in >> server.id >> server.port;
    return server;
}

void ResponderProcess::SetBehaviour(const ResponderServer& server, const Behaviour& behaviour)
{
    Command("behave " + std::to_string(server.id) + " " + FormatBehaviour(behaviour));
}

std::vector<ReceivedRequest> ResponderProcess::Requests(const ResponderServer& server)
{
    // One answer holds as many records as fit in a datagram; ask on until all came.
    std::vector<ReceivedRequest> requests;
    size_t total = 0;
    do {
        std::istringstream in(Command("requests " + std::to_string(server.id) + " " + std::to_string(requests.size())));
        std::string entry;
        in >> total;
        while (in >> entry) {
            ReceivedRequest request;
            std::string hex;
            std::replace(entry.begin(), entry.end(), ',', ' ');
            std::istringstream fields(entry);
            if (!(fields >> request.order >> request.timeMs >> request.sourcePort))
                throw Failure("malformed request record " + entry.substr(0, 80));
            // An empty datagram has no hex digits.
            fields >> hex;
            if (!FromHex(hex, request.bytes))
                throw Failure("malformed request bytes " + hex.substr(0, 80));
            requests.push_back(request);
        }
    } while (requests.size() < total);
    return requests;
}

void ResponderProcess::SendFrom(const ResponderServer& server, const Bytes& bytes, const char* toAddress,
                                uint16_t toPort)
{
    Command("send " + std::to_string(server.id) + " " + toAddress + " " + std::to_string(toPort) + " " + ToHex(bytes));
}

void ResponderProcess::Remove(const ResponderServer& server)
{
    Command("remove " + std::to_string(server.id));
}

void ResponderProcess::Quit()
{
    if (m_quit)
        return;
    Command("quit");
    m_quit = true;
}

bool ResponderProcess::Running() const
{
    // Z: is the Unix root. The state follows the command name in parentheses; a
    // zombie (Z) or dead (X) process has ended.
    std::string path = "Z:\\proc\\" + std::to_string(m_pid) + "\\stat";
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    char buffer[512] = {};
    DWORD read = 0;
    ReadFile(file, buffer, sizeof buffer - 1, &read, nullptr);
    CloseHandle(file);
    const char* close = strrchr(buffer, ')');
    return close != nullptr && close[1] == ' ' && close[2] != 'Z' && close[2] != 'X';
}
