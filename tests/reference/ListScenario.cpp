#include "ListScenario.h"

#include <stdio.h>
#include <string.h>

#include <array>

#include "ProbeProtocol.h"

namespace {

uint32_t Mix(uint32_t x)
{
    x += 0x9E3779B9u;
    x = (x ^ (x >> 16)) * 0x85EBCA6Bu;
    x = (x ^ (x >> 13)) * 0xC2B2AE35u;
    return x ^ (x >> 16);
}

ScenarioReply MakeReply(const uint8_t (&address)[4], uint16_t port, uint32_t rtt, bool withLoad, uint32_t load)
{
    ScenarioReply reply = {};
    uint8_t wire[kProbeSize];
    EncodeRequest(MakeRequest(1, ListScenario::kStartTick), wire);
    memcpy(reply.data, wire, sizeof wire);
    reply.length = withLoad ? 20 : 16;
    for (int i = 0; i < 4; ++i)
        reply.data[16 + i] = (uint8_t)(load >> (8 * (3 - i)));
    FormatIPv4(address, reply.source);
    reply.port = port;
    reply.arrivalTick = ListScenario::kStartTick + rtt;
    return reply;
}

}  // namespace

bool ScenarioSource(const ScenarioReply& reply, uint8_t (&source)[4])
{
    uint32_t value;
    if (!ParseCanonicalIPv4(reply.source, &value))
        return false;
    for (int i = 0; i < 4; ++i)
        source[i] = (uint8_t)(value >> (24 - 8 * i));
    return true;
}

ListScenario MakeScenario(uint32_t n, uint32_t seed)
{
    ListScenario scenario;
    scenario.servers.resize(n);
    std::vector<std::array<uint8_t, 4>> addresses(n);
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t h = Mix(seed * 0x01000193u + i);
        ServerInfo& server = scenario.servers[i];
        memset(&server, 0, sizeof server);
        std::array<uint8_t, 4> address = {10, (uint8_t)(h >> 16), (uint8_t)(h >> 8), (uint8_t)h};
        uint16_t port = (uint16_t)(1000 + (h >> 24));
        if (i % 16 == 15) {
            address = addresses[i - 1];  // the same address and port twice
            port = scenario.servers[i - 1].ushPort;
        } else if (i % 8 == 7) {
            address = addresses[i / 2];  // the same address, most likely on another port
        }
        addresses[i] = address;
        server.ushPort = port;
        if (i % 64 == 13)
            snprintf(server.szAddr, sizeof server.szAddr, "%03u.%u.%u.%u", address[0], address[1], address[2],
                     address[3]);  // leading zeros: never matched
        else if (i % 128 == 29)
            snprintf(server.szAddr, sizeof server.szAddr, "%u.%u.%u.%u.local", address[0], address[1], address[2],
                     address[3]);  // too long for a candidate: an empty address
        else
            snprintf(server.szAddr, sizeof server.szAddr, "%u.%u.%u.%u", address[0], address[1], address[2],
                     address[3]);
    }
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t h = Mix(seed ^ (i * 0x27D4EB2Fu));
        uint8_t address[4] = {addresses[i][0], addresses[i][1], addresses[i][2], addresses[i][3]};
        uint16_t port = scenario.servers[i].ushPort;
        // A few replies whose product exceeds a silent server's 5000 x 100: a
        // heavily loaded server, and one that answered late.
        if (i % 16 == 3)
            scenario.replies.push_back(MakeReply(address, port, 5, true, 200000));
        else if (i % 16 == 11)
            scenario.replies.push_back(MakeReply(address, port, 5503, false, 0));
        else
            scenario.replies.push_back(MakeReply(address, port, h % 40, (h >> 8) % 3 == 0, (h >> 12) % 4));
        if (i % 16 == 5) {
            uint8_t stranger[4] = {192, 168, (uint8_t)(h >> 20), (uint8_t)(h >> 24)};
            scenario.replies.push_back(MakeReply(stranger, 7, h % 9, false, 0));
        }
    }
    return scenario;
}
