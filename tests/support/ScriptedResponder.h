// Scripted UDP servers with addresses of their own (127.0.0.2, 127.0.0.3, ...):
// the native program lrd_test_responder, started and steered over a control
// socket on 127.0.0.1. Inside Wine a socket answers from 127.0.0.1 whatever it is
// bound to, so only a native process can answer from another address.
//
// Every operation waits for the program's answer with a generous deadline and
// throws std::runtime_error when it is refused or does not come; GoogleTest
// reports that as a failure of the test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ResponderBehaviour.h"

struct ResponderServer {
    int id = 0;
    std::string address;
    uint16_t port = 0;
};

class ResponderProcess {
public:
    // Starts the program and waits for its greeting. Another program that speaks
    // the same control protocol when started with --control PORT (lrd_impaired_net)
    // can be named.
    explicit ResponderProcess(const std::string& program = {});
    // Quits the program. A crashed test leaves it to end by itself after a
    // minute without commands.
    ~ResponderProcess();
    ResponderProcess(const ResponderProcess&) = delete;
    ResponderProcess& operator=(const ResponderProcess&) = delete;

    // A server bound to a 127.x.y.z address; port 0 takes a free one. New
    // servers echo every request as a short reply.
    ResponderServer AddServer(const char* address, uint16_t port = 0);
    void SetBehaviour(const ResponderServer& server, const Behaviour& behaviour);
    // Everything the server received since it was added, in arrival order.
    std::vector<ReceivedRequest> Requests(const ResponderServer& server);
    // Sends one datagram (at most about 30000 bytes) from the server's socket to a
    // loopback address.
    void SendFrom(const ResponderServer& server, const Bytes& bytes, const char* toAddress, uint16_t toPort);
    void Remove(const ResponderServer& server);
    void Quit();

    // One command as it goes on the control socket, without its tag: the answer
    // after "ok".
    std::string Command(const std::string& command);

    unsigned long Pid() const { return m_pid; }
    // Whether the program's process still runs, seen through /proc.
    bool Running() const;

private:
    std::string m_name;  // the program's file name, in failures
    uintptr_t m_socket;
    uint16_t m_responderPort = 0;
    unsigned long m_pid = 0;
    unsigned m_tag = 0;
    bool m_quit = false;
};
