#include "ProbeProtocol.h"

#include <stdio.h>

#include "Tick.h"

namespace {

uint32_t ReadLittleEndian32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24); }

uint32_t ReadBigEndian32(const uint8_t* p) { return ((uint32_t)p[0] << 24) | (p[1] << 16) | (p[2] << 8) | p[3]; }

void WriteLittleEndian32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = (uint8_t)(value >> (8 * i));
}

}  // namespace

LRDPdu MakeRequest(uint32_t seq, uint32_t tick)
{
    LRDPdu pdu;
    pdu.dwCmd = kProbeCommand;
    pdu.ushSeq = (uint16_t)seq;
    pdu.ushUnused = 0;
    pdu.dwTick = tick;
    pdu.dwFillData = kProbeFillData;
    return pdu;
}

void EncodeRequest(const LRDPdu& pdu, uint8_t (&wire)[kProbeSize])
{
    WriteLittleEndian32(wire, pdu.dwCmd);
    wire[4] = (uint8_t)pdu.ushSeq;
    wire[5] = (uint8_t)(pdu.ushSeq >> 8);
    wire[6] = 0;
    wire[7] = 0;
    WriteLittleEndian32(wire + 8, pdu.dwTick);
    WriteLittleEndian32(wire + 12, pdu.dwFillData);
}

void FormatIPv4(const uint8_t (&address)[4], char (&text)[16])
{
    snprintf(text, sizeof text, "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
}

ReplyOutcome HandleReply(CandidateList& candidates, const uint8_t* data, int32_t length, const char* sourceText,
                         uint16_t sourcePort, uint32_t startTick, uint32_t arrivalTick)
{
    if (length < (int32_t)kProbeSize)
        return {ReplyVerdict::kTooShort, 0};
    uint32_t command = ReadLittleEndian32(data);
    uint32_t tick = ReadLittleEndian32(data + 8);
    if (command != kProbeCommand || tick == 0 || !TickWithin(startTick, tick, arrivalTick))
        return {ReplyVerdict::kDropped, 0};

    uint32_t rtt = TickElapsed(tick, arrivalTick);
    if (length == (int32_t)kProbeSize) {
        candidates.SetRtt(sourceText, rtt);
    } else {
        // Missing load bytes of a reply shorter than 20 bytes read as zero.
        uint8_t loadBytes[4] = {0, 0, 0, 0};
        for (int32_t i = 0; i < 4 && (int32_t)kProbeSize + i < length; ++i)
            loadBytes[i] = data[kProbeSize + i];
        uint32_t load = ReadBigEndian32(loadBytes);
        if (load == 0)
            load = 1;
        candidates.SetRttAndLoad(sourceText, sourcePort, rtt, load);
    }
    return {ReplyVerdict::kAccepted, rtt};
}
