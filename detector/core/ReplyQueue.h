// Datagrams taken off the socket before they are handled, each with the tick of
// its arrival: replies that come in while requests still go out, and every
// datagram waiting when a read notification is handled. The queue is bounded;
// what does not fit stays in the socket's own buffer until there is room.
#pragma once

#include <stdint.h>

#include <memory>

#include "ProbeProtocol.h"

struct TakenDatagram {
    uint32_t dwArrivalTick;
    uint8_t abSource[4];                 // address, network byte order
    char szSource[16];                   // the same as text, for the sink
    uint16_t ushSourcePort;              // host byte order
    uint8_t nLength;                     // as received, but at most kReplyExaminedSize
    uint8_t abHead[kReplyExaminedSize];  // the bytes a reply is read from; zero after nLength
};

class ReplyQueue {
public:
    // Storage for `capacity` datagrams, dropping any queued. False without
    // memory, and the queue as it was.
    bool Reserve(uint32_t capacity);
    // Drops every queued datagram and gives the storage back.
    void Release();
    // Drops every queued datagram.
    void Clear() { nCount = 0; }

    uint32_t Capacity() const { return nCapacity; }
    uint32_t Size() const { return nCount; }
    bool Empty() const { return nCount == 0; }
    bool Full() const { return nCount == nCapacity; }
    // The slot at the back, to be filled by the caller. Not when Full().
    TakenDatagram& Push();
    // The oldest datagram, taken out. Not when Empty().
    TakenDatagram Pop();

private:
    std::unique_ptr<TakenDatagram[]> pItems;
    uint32_t nCapacity = 0;
    uint32_t nFirst = 0;
    uint32_t nCount = 0;
};
