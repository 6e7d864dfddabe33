// One datagram, from any source, handed to the reply handling of a detection,
// checked against the rules of the probe exchange written out independently.
//
// Input: a 15-byte header, the candidates, then the datagram itself.
//   0..3   source address, in the order of the wire
//   4..5   source port, little-endian
//   6..9   start tick of the detection, little-endian
//   10..13 milliseconds from the start to the arrival, little-endian
//   14     number of candidates (low 3 bits)
//   then per candidate 7 bytes: address kind, port (2, little-endian), a
//   32-bit value that seeds its round-trip time and load, and so the origin of
//   its ticks; each candidate was sent one request at the start
//   the rest: the datagram, cut at 65507 bytes
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>
#include <vector>

#include "ProbeProtocol.h"
#include "Random.h"

namespace {

const size_t kHeader = 15;
const size_t kCandidateBytes = 7;
const size_t kMaxDatagram = 65507;

uint32_t Little32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
uint16_t Little16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }

void Check(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "reply fuzzer: %s\n", what);
        abort();
    }
}

bool Same(const std::vector<IPInfo>& a, const std::vector<IPInfo>& b)
{
    return a.size() == b.size() && (a.empty() || memcmp(a.data(), b.data(), a.size() * sizeof(IPInfo)) == 0);
}

// Candidate address texts that a reply from source may or may not match.
std::string AddressOfKind(uint8_t kind, const uint8_t (&source)[4])
{
    char text[64];
    switch (kind % 6) {
    case 0:  // the source itself
        snprintf(text, sizeof text, "%u.%u.%u.%u", source[0], source[1], source[2], source[3]);
        break;
    case 1:  // the neighbour
        snprintf(text, sizeof text, "%u.%u.%u.%u", source[0], source[1], source[2], (source[3] + 1) & 255);
        break;
    case 2:  // the source with leading zeros: not canonical, never matched
        snprintf(text, sizeof text, "%03u.%u.%u.%03u", source[0], source[1], source[2], source[3]);
        break;
    case 3:  // a prefix of the source
        snprintf(text, sizeof text, "%u.%u.%u.", source[0], source[1], source[2]);
        break;
    case 4:
        text[0] = '\0';
        break;
    default:
        snprintf(text, sizeof text, "LocalHost");
        break;
    }
    return std::string(text).substr(0, 15);
}

// The origin of a candidate's ticks, from its values.
uint32_t Origin(const IPInfo& info) { return info.dwRTT * 0x9E3779B1u ^ info.dwLoad ^ (uint32_t)info.ushPort << 7; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < kHeader)
        return 0;
    uint8_t source[4];
    memcpy(source, data, 4);
    uint16_t port = Little16(data + 4);
    uint32_t start = Little32(data + 6);
    uint32_t arrival = start + Little32(data + 10);
    size_t count = data[14] & 7;
    if (size < kHeader + count * kCandidateBytes)
        return 0;

    // The list places candidates by the module's generator: the same draws for
    // the same input.
    SeedRandom(1);
    CandidateList candidates;
    const uint8_t* record = data + kHeader;
    for (size_t i = 0; i < count; ++i, record += kCandidateBytes) {
        IPInfo info = {};
        std::string address = AddressOfKind(record[0], source);
        memcpy(info.szIP, address.c_str(), address.size() + 1);
        info.ushPort = (record[0] & 0x80) ? port : Little16(record + 1);
        uint32_t seed = Little32(record + 3);
        info.dwRTT = (seed & 1) ? 5000 : seed >> 1;
        info.dwLoad = (seed & 2) ? 100 : (seed >> 2) | 1;
        Check(candidates.InsertRandom(info), "insert");
    }
    std::vector<IPInfo> before;
    candidates.Walk([&](const IPInfo& info) { before.push_back(info); });
    candidates.WalkProbeStates([&](const IPInfo& info, ProbeState& state) {
        state.dwOrigin = Origin(info);
        state.NoteRequest(start);
    });

    size_t length = size - kHeader - count * kCandidateBytes;
    if (length > kMaxDatagram)
        length = kMaxDatagram;
    // A buffer of exactly the datagram's size: any read past it is reported.
    std::vector<uint8_t> datagram(record, record + length);

    char sourceText[16];
    FormatIPv4(source, sourceText);
    char expectedText[32];
    snprintf(expectedText, sizeof expectedText, "%u.%u.%u.%u", source[0], source[1], source[2], source[3]);
    Check(strcmp(sourceText, expectedText) == 0, "source text");

    ReplyOutcome outcome = JudgeReply(candidates, datagram.data(), (int32_t)length, source, port, start, arrival);

    std::vector<IPInfo> after;
    candidates.Walk([&](const IPInfo& info) { after.push_back(info); });
    Check(after.size() == before.size(), "candidate count");

    if (length < kProbeSize) {
        Check(outcome.verdict == ReplyVerdict::kTooShort, "a datagram under 16 bytes is too short");
        Check(Same(after, before), "too short changed a candidate");
        return 0;
    }
    uint32_t command = Little32(datagram.data());
    uint32_t tick = Little32(datagram.data() + 8);
    // The candidates whose request carried the tick to the source's address;
    // of those, the ones on the source's port come first.
    auto echoes = [&](const IPInfo& info) {
        uint32_t own = Origin(info) + start;
        return strcmp(info.szIP, sourceText) == 0 && tick == (own != 0 ? own : 1);
    };
    bool echoed = false, echoedOnPort = false;
    for (const IPInfo& info : before) {
        echoed = echoed || echoes(info);
        echoedOnPort = echoedOnPort || (echoes(info) && info.ushPort == port);
    }
    if (command != kProbeCommand || tick == 0 || !echoed) {
        Check(outcome.verdict == (command != kProbeCommand || tick == 0 ? ReplyVerdict::kDropped
                                                                       : ReplyVerdict::kUnsent),
              "a foreign, stale or forged datagram is dropped");
        Check(Same(after, before), "a dropped datagram changed a candidate");
        return 0;
    }

    Check(outcome.verdict == ReplyVerdict::kAccepted, "the echo of a request is accepted");
    Check(outcome.bReport == (port != 0 && arrival - start <= kReportWindowMs), "reported within the window");
    uint32_t rtt = arrival - start;
    Check(outcome.dwRtt == rtt, "round-trip time");
    uint8_t loadBytes[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < 4 && kProbeSize + i < length; ++i)
        loadBytes[i] = datagram[kProbeSize + i];
    uint32_t load = (uint32_t)loadBytes[0] << 24 | loadBytes[1] << 16 | loadBytes[2] << 8 | loadBytes[3];
    if (load == 0)
        load = 1;
    // Exactly the candidate the outcome names took the reply's values, and it
    // is one whose request carried the tick; every other candidate is as it was.
    size_t taker = after.size();
    for (size_t i = 0; i < after.size(); ++i) {
        const IPInfo& was = before[i];
        const IPInfo& now = after[i];
        Check(memcmp(was.szIP, now.szIP, sizeof was.szIP) == 0 && was.ushPort == now.ushPort, "identity changed");
        if (outcome.pRecord != nullptr && memcmp(outcome.pRecord, &now, sizeof now) == 0 && echoes(was) &&
            (!echoedOnPort || was.ushPort == port) && now.dwRTT == rtt &&
            now.dwLoad == (length > kProbeSize ? load : was.dwLoad) && taker == after.size()) {
            taker = i;
            continue;
        }
        Check(memcmp(&was, &now, sizeof was) == 0, "a candidate the reply did not answer changed");
    }
    Check(taker != after.size(), "the candidate that echoed the tick took the reply's values");
    // Ranking what the reply left: the one candidate that answered before every
    // one never heard from, which are best first, written out whole.
    candidates.Sort();
    std::vector<IPInfo> sorted;
    candidates.Walk([&](const IPInfo& info) { sorted.push_back(info); });
    Check(memcmp(&sorted[0], &after[taker], sizeof sorted[0]) == 0,
          "a silent candidate ranked before one that answered");
    for (size_t i = 2; i < sorted.size(); ++i)
        Check(!IPInfoLess(sorted[i], sorted[i - 1]), "sorted best first");
    std::vector<uint8_t> out(LRD_IP_INFO_ARRAY_SIZE(sorted.size()), 0xCD);
    candidates.WriteOut(reinterpret_cast<IPInfoArray*>(out.data()));
    Check(Little32(out.data()) == sorted.size(), "written count");
    return 0;
}
