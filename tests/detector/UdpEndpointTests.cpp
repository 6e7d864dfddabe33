// The endpoint's one table of WinSock's receive errors.
#include <gtest/gtest.h>

#include "UdpEndpoint.h"

namespace {

TEST(ReceiveKinds, OnlyTheListedWinSockErrorsMeanMoreThanAFailure)
{
    const struct {
        int code;
        ReceiveKind kind;
    } cases[] = {
        {WSAEWOULDBLOCK, ReceiveKind::kNothingWaiting},  {WSAEMSGSIZE, ReceiveKind::kTruncated},
        {WSAENETRESET, ReceiveKind::kPeerUnreachable},   {WSAECONNRESET, ReceiveKind::kPeerUnreachable},
        {0, ReceiveKind::kFailed},                       {WSAENOTSOCK, ReceiveKind::kFailed},
        {WSAETIMEDOUT, ReceiveKind::kFailed},            {-1, ReceiveKind::kFailed},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReceiveKindOfError(c.code), c.kind) << c.code;
}

}  // namespace
