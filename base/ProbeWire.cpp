#include "ProbeWire.h"

#include <string.h>

uint32_t ReadPduField(const uint8_t* datagram, size_t offset)
{
    const uint8_t* p = datagram + offset;
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void WritePduField(uint8_t* datagram, size_t offset, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i)
        datagram[offset + i] = (uint8_t)(value >> (8 * i));
}

void WriteLoad(uint8_t* datagram, uint32_t load)
{
    for (size_t i = 0; i < 4; ++i)
        datagram[kLoadOffset + i] = (uint8_t)(load >> (8 * (3 - i)));
}

LRDPdu MakeRequest(uint32_t seq, uint32_t tick)
{
    LRDPdu pdu;
    pdu.dwCmd = kProbeCommand;
    pdu.ushSeq = (uint16_t)seq;
    pdu.ushUnused = 0;
    pdu.dwTick = tick;
    pdu.dwFillData = kRequestFillData;
    return pdu;
}

void EncodeRequest(const LRDPdu& pdu, uint8_t (&wire)[kProbeSize])
{
    WritePduField(wire, kCmdOffset, pdu.dwCmd);
    wire[kSeqOffset] = (uint8_t)pdu.ushSeq;
    wire[kSeqOffset + 1] = (uint8_t)(pdu.ushSeq >> 8);
    wire[kSeqOffset + 2] = 0;
    wire[kSeqOffset + 3] = 0;
    WritePduField(wire, kTickOffset, pdu.dwTick);
    WritePduField(wire, kFillDataOffset, pdu.dwFillData);
}

RequestVerdict CheckRequest(const uint8_t* datagram, size_t size)
{
    if (size < kProbeSize)
        return RequestVerdict::kTooShort;
    if (ReadPduField(datagram, kCmdOffset) != kProbeCommand)
        return RequestVerdict::kWrongCommand;
    if (ReadPduField(datagram, kTickOffset) == 0)
        return RequestVerdict::kZeroTick;
    if (ReadPduField(datagram, kFillDataOffset) != kRequestFillData)
        return RequestVerdict::kWrongFillData;
    return RequestVerdict::kAnswer;
}

size_t EncodeAnswer(const uint8_t* request, const std::optional<uint32_t>& load, uint8_t (&answer)[kLongReplySize])
{
    // Only the first 16 bytes go back, so a long request cannot make a long answer.
    memcpy(answer, request, kFillDataOffset);
    WritePduField(answer, kFillDataOffset, kReplyFillData);
    if (!load)
        return kProbeSize;
    WriteLoad(answer, *load);
    return kLongReplySize;
}

bool DecodeReply(const uint8_t* datagram, size_t size, LRDReply& reply)
{
    if (size < kProbeSize)
        return false;
    reply.dwCmd = ReadPduField(datagram, kCmdOffset);
    reply.dwTick = ReadPduField(datagram, kTickOffset);
    reply.bLong = size > kProbeSize;
    reply.dwLoad = 0;
    for (size_t i = kLoadOffset; i < kLongReplySize && i < size; ++i)
        reply.dwLoad |= (uint32_t)datagram[i] << (8 * (kLongReplySize - 1 - i));
    return true;
}
