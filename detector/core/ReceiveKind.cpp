#include "ReceiveKind.h"

namespace {

struct ErrorKind {
    int32_t code;
    ReceiveKind kind;
};

// Windows reports an ICMP "port unreachable" or "TTL expired" for an earlier
// request as a failed receive on an unconnected UDP socket: no datagram is lost
// then, and the next one may be waiting.
const ErrorKind kReceiveErrors[] = {
    {kWsaEWouldBlock, ReceiveKind::kNothingWaiting},
    {kWsaEMsgSize, ReceiveKind::kTruncated},
    {kWsaENetReset, ReceiveKind::kPeerUnreachable},
    {kWsaEConnReset, ReceiveKind::kPeerUnreachable},
};

}  // namespace

ReceiveKind ReceiveKindOfError(int32_t errorCode)
{
    for (const ErrorKind& entry : kReceiveErrors)
        if (entry.code == errorCode)
            return entry.kind;
    return ReceiveKind::kFailed;
}
