// lrdresponder.exe under Wine: the Windows socket edge answers as the Linux one
// does (the Linux program has its fuller tests in the native build). The program
// is started beside this test and ended by its process handle.
#include <winsock2.h>
#include <mswsock.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "ResponderBehaviour.h"

namespace {

class Process {
public:
    explicit Process(const std::string& args)
    {
        char path[MAX_PATH];
        GetModuleFileNameA(nullptr, path, sizeof path);
        std::string program = path;
        program = program.substr(0, program.find_last_of("\\/") + 1) + "lrdresponder.exe";
        std::string line = "\"" + program + "\" " + args;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        m_started = CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &m_info) != 0;
    }
    ~Process()
    {
        if (!m_started)
            return;
        if (WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(m_info.hProcess, 99);
        WaitForSingleObject(m_info.hProcess, 10000);
        CloseHandle(m_info.hProcess);
        CloseHandle(m_info.hThread);
    }

    bool Started() const { return m_started; }

    DWORD ExitCode()
    {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(m_info.hProcess, 10000) == WAIT_OBJECT_0)
            GetExitCodeProcess(m_info.hProcess, &code);
        return code;
    }

private:
    bool m_started = false;
    PROCESS_INFORMATION m_info{};
};

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

Bytes Request(uint32_t tick)
{
    Bytes bytes{2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    for (int i = 0; i < 4; ++i)
        bytes[8 + i] = uint8_t(tick >> (8 * i));
    return bytes;
}

class ResponderExe : public testing::Test {
protected:
    void SetUp() override
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        m_socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in own = Loopback(0);
        ASSERT_EQ(bind(m_socket, reinterpret_cast<sockaddr*>(&own), sizeof own), 0);
        // Requests sent before the program listens come back as port-unreachable
        // notices, which must not fail the next receive.
        BOOL off = FALSE;
        DWORD bytes = 0;
        WSAIoctl(m_socket, SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &bytes, nullptr, nullptr);
    }
    void TearDown() override
    {
        closesocket(m_socket);
        WSACleanup();
    }

    uint16_t FreePort()
    {
        SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in address = Loopback(0);
        int size = sizeof address;
        bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
        closesocket(probe);
        return ntohs(address.sin_port);
    }

    void Send(uint16_t port, const Bytes& bytes)
    {
        sockaddr_in to = Loopback(port);
        sendto(m_socket, reinterpret_cast<const char*>(bytes.data()), int(bytes.size()), 0,
               reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    bool Receive(Bytes& bytes, sockaddr_in& from, unsigned timeoutMs)
    {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_socket, &readable);
        timeval wait{long(timeoutMs / 1000), long(timeoutMs % 1000 * 1000)};
        if (select(0, &readable, nullptr, nullptr, &wait) != 1)
            return false;
        char buffer[2048];
        int size = sizeof from;
        int received = recvfrom(m_socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
        bytes.assign(buffer, buffer + (received > 0 ? received : 0));
        return received >= 0;
    }

    SOCKET m_socket = INVALID_SOCKET;
};

}  // namespace

TEST_F(ResponderExe, AnswersValidRequestsWithTheLoadAndIgnoresGarbage)
{
    uint16_t port = FreePort();
    Process program("--bind 127.0.0.1 --load 9 " + std::to_string(port));
    ASSERT_TRUE(program.Started());
    // The answer carries fill data 0, which no request has.
    auto answer = [](uint32_t tick) {
        Bytes bytes = Request(tick);
        bytes[12] = 0;
        bytes.insert(bytes.end(), {0, 0, 0, 9});
        return bytes;
    };
    // Until the program listens nothing comes back, so every attempt sends
    // garbage, then a request with a tick of its own.
    Bytes reply;
    sockaddr_in from{};
    uint32_t tick = 100;
    bool answered = false;
    for (; tick < 150 && !answered; ++tick) {
        Send(port, Bytes{2, 0, 0, 0, 1});
        Send(port, Bytes(16, 0));
        Send(port, Request(tick));
        answered = Receive(reply, from, 200);
    }
    ASSERT_TRUE(answered);
    EXPECT_EQ(ntohs(from.sin_port), port);
    auto earlierAnswer = [&](const Bytes& bytes) {
        return bytes.size() == 20 && bytes[8] >= 100 && bytes[8] < tick && bytes == answer(bytes[8]);
    };
    EXPECT_TRUE(earlierAnswer(reply)) << ToHex(reply);

    // Answers to earlier attempts may still be on their way; the answer to tick 7
    // comes after them, and nothing answers the garbage.
    Send(port, Bytes(16, 0xAB));
    Send(port, Request(7));
    while (Receive(reply, from, 10000) && reply != answer(7))
        EXPECT_TRUE(earlierAnswer(reply)) << ToHex(reply);
    EXPECT_EQ(reply, answer(7));
}

TEST_F(ResponderExe, RefusesABadPortWithStatusTwo)
{
    Process program("--bind 127.0.0.1 65536");
    ASSERT_TRUE(program.Started());
    EXPECT_EQ(program.ExitCode(), 2u);
}
