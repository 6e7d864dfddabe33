// The control socket of the native servers that tests steer: a command is one
// datagram "<tag> <command> <args...>" from the test's port, answered by
// "<tag> <answer>".
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "Net.h"

// Takes the next datagram on sockets[0], the control socket, and hands
// `execute` the command and a stream of its arguments; datagrams from any port
// but the test's are dropped. The control socket is looked up again for the
// answer: a command may add sockets, and so move it.
template <class Execute>
void ServeCommand(std::vector<lrdresponder::net::UdpSocket>& sockets, const lrdresponder::net::Endpoint& test,
                  Execute execute)
{
    static uint8_t buffer[65536];
    size_t size = 0;
    lrdresponder::net::Endpoint from;
    uint32_t to = 0;
    if (!sockets[0].Receive(buffer, sizeof buffer - 1, size, from, to) || from.port != test.port)
        return;
    buffer[size] = '\0';
    std::istringstream in(reinterpret_cast<const char*>(buffer));
    std::string tag, command;
    in >> tag >> command;
    std::string answer = tag + " " + execute(command, in);
    sockets[0].Send(reinterpret_cast<const uint8_t*>(answer.data()), answer.size(), test, 0);
}
