// The detector's socket: its set-up in the detector's order of steps, each
// step's platform part done by the UDP endpoint.
#include "CLinkrateDetector.h"

namespace {

const char kCreateSocket[] = "CLinkrateDetector::CreateSocket()";
const char kSetSocketTimeout[] = "CLinkrateDetector::SetSocketTimeout()";

}  // namespace

int32_t CLinkrateDetector::CreateSocket()
{
    // Each step keeps what it made on failure; Cleanup gives it back.
    auto fail = [this] {
        Error("%s exit fail", kCreateSocket);
        return 0;
    };
    if (udpEndpoint.SocketOpen() || hWnd == nullptr)
        return fail();
    if (!udpEndpoint.Open())
        return fail();
    if (!udpEndpoint.SetNonBlocking())
        return fail();
    udpEndpoint.StopResetReports();
    udpEndpoint.ReadReceiveBufferSize();
    if (!udpEndpoint.AllocateReceiveBuffer())
        return fail();
    if (!probeExchange.ReserveReplyQueue())
        return fail();
    udpEndpoint.WidenSocketBuffer();
    if (!SetSocketTimeout(1000))
        return fail();
    if (!udpEndpoint.NotifyReads(hWnd, WM_LRD_SOCKET))
        return fail();
    return 1;
}

int32_t CLinkrateDetector::SetSocketTimeout(int32_t milliseconds)
{
    if (!udpEndpoint.SocketOpen() || !udpEndpoint.SetTimeouts(milliseconds)) {
        Error("%s exit fail", kSetSocketTimeout);
        return 0;
    }
    return 1;
}

int32_t CLinkrateDetector::CloseSocket()
{
    udpEndpoint.Close();
    return 1;
}
