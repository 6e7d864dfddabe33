// What one receive on the detector's UDP socket found, folded from the socket
// layer's result into the few cases the exchange tells apart.
#pragma once

#include <stdint.h>

enum class ReceiveKind {
    kDatagram,         // a whole datagram
    kTruncated,        // a datagram larger than the buffer, cut to the buffer's size
    kNothingWaiting,   // the socket is empty
    kPeerUnreachable,  // the system's report of an ICMP error for an earlier send
    kFailed,           // anything else: the receive failed
};

// The WinSock error codes that mean more than a failed receive, by their values,
// so that the table below reads the same on any host.
enum : int32_t {
    kWsaEWouldBlock = 10035,
    kWsaEMsgSize = 10040,
    kWsaENetReset = 10052,
    kWsaEConnReset = 10054,
};

// The kind of a receive that reported the error code.
ReceiveKind ReceiveKindOfError(int32_t errorCode);
