// The detector's socket and window: their set-up and tear-down in the
// detector's order of steps, each step's platform part done by the UDP endpoint
// or the notification window.
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
    if (udpEndpoint.SocketOpen() || !notificationWindow.Held())
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
    if (!notificationWindow.NotifyReads(udpEndpoint.Socket()))
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

// The detector's window steps, each done by its notification window.
namespace {

const char kCreateLRDWindow[] = "CLinkrateDetector::CreateLRDWindow()";
const char kDestoryLRDWindow[] = "CLinkrateDetector::DestoryLRDWindow()";

}  // namespace

int32_t CLinkrateDetector::CreateLRDWindow()
{
    if (notificationWindow.Create())
        return 1;
    Error("%s exit fail", kCreateLRDWindow);
    return 0;
}

int32_t CLinkrateDetector::DestoryLRDWindow()
{
    if (notificationWindow.Destroy()) {
        Trace("%s exit success", kDestoryLRDWindow);
        return 1;
    }
    Error("%s exit fail", kDestoryLRDWindow);
    return 0;
}
