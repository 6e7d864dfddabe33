// Servers and replies for measuring and checking candidate lists: addresses with
// duplicates (same address on other ports, and the same address and port twice),
// a few texts that no reply can match, and one reply per server in the caller's
// order plus replies from strangers. Short and long replies, with round-trip
// times and loads that tie often, so that the stable sort has work to do, and a
// few whose product exceeds that of a server never heard from.
#pragma once

#include <stdint.h>

#include <vector>

#include "LinkrateDetector.h"

struct ScenarioReply {
    uint8_t data[20];
    int32_t length;       // 16 (short) or 20 (long)
    char source[16];      // canonical dotted text, as a received datagram gives it
    uint16_t port;
    uint32_t arrivalTick;
};

struct ListScenario {
    static constexpr uint32_t kStartTick = 1000;
    std::vector<ServerInfo> servers;
    std::vector<ScenarioReply> replies;
};

// The reply's source as a received datagram has it (network byte order); false
// for a text that is no canonical address.
bool ScenarioSource(const ScenarioReply& reply, uint8_t (&source)[4]);

// The same n and seed give the same scenario. The scenario's own generator is
// apart from the module's, so making one draws nothing from it.
ListScenario MakeScenario(uint32_t n, uint32_t seed);
