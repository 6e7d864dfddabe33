// What one receive on the detector's UDP socket found, folded by the platform's
// endpoint from the socket layer's result into the few cases the exchange tells
// apart.
#pragma once

enum class ReceiveKind {
    kDatagram,         // a whole datagram
    kTruncated,        // a datagram larger than the buffer, cut to the buffer's size
    kNothingWaiting,   // the socket is empty
    kPeerUnreachable,  // the system's report of an ICMP error for an earlier send
    kFailed,           // anything else: the receive failed
};
