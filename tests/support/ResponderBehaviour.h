// What a scripted test server does with each datagram it receives, shared by the
// native responder program and the responders inside Wine test processes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Largest UDP payload over IPv4.
constexpr size_t kMaxDatagram = 65507;
// A recorded request keeps at most this many of its first bytes.
constexpr size_t kMaxRecorded = 1024;

// The reply is the received datagram, cut or zero-padded to `length`, with the
// set fields written over it. Fields are written only as far as `length` reaches,
// so a 17-byte reply carries the first byte of the load.
struct Behaviour {
    bool answer = true;             // false: the server stays silent
    size_t length = 16;             // 16 is a short reply; 20 carries the load
    std::optional<uint32_t> load;   // big-endian at offset 16
    std::optional<uint32_t> cmd;    // replaces dwCmd (little-endian, offset 0)
    std::optional<uint32_t> tick;   // replaces dwTick (little-endian, offset 8)
    int32_t tickOffset = 0;         // then added to dwTick, wrapping
    unsigned delayMs = 0;           // before the copies leave
    unsigned copies = 1;            // replies per request
};

struct ReceivedRequest {
    unsigned order = 0;        // arrival number, counted over all servers of one responder
    unsigned timeMs = 0;       // arrival time, ms since the responder started
    uint16_t sourcePort = 0;
    Bytes bytes;               // the first kMaxRecorded bytes
};

Bytes BuildReply(const Bytes& request, const Behaviour& behaviour);

// Text forms used on the responder's control socket. Parsing returns false on
// anything malformed.
std::string FormatBehaviour(const Behaviour& behaviour);
bool ParseBehaviour(const std::string& text, Behaviour& behaviour);
std::string ToHex(const Bytes& bytes);
bool FromHex(const std::string& text, Bytes& bytes);
