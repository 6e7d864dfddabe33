// The detector's socket and window: their set-up and tear-down in the
// detector's order of steps, each step's platform part done by the UDP endpoint
// or the notification window.
#include "CLinkrateDetector.h"

#include "Refusal.h"

namespace {

const char kCreateSocket[] = "CLinkrateDetector::CreateSocket()";
const char kSetSocketTimeout[] = "CLinkrateDetector::SetSocketTimeout()";

}  // namespace

int32_t CLinkrateDetector::CreateSocket()
{
    // Each step keeps what it made on failure; Cleanup gives it back. The
    // failed step's error code is taken before any line is written.
    auto refuse = [this](Refusal refusal) {
        Error("%s exit fail", kCreateSocket);
        Refused(kCreateSocket, RefusalText(refusal));
        return 0;
    };
    auto fail = [this](const char* step, uint32_t errorCode) {
        Error("%s exit fail", kCreateSocket);
        StepFailed(kCreateSocket, step, errorCode);
        return 0;
    };
    if (udpEndpoint.SocketOpen())
        return refuse(Refusal::kSocketExists);
    if (!notificationWindow.Held())
        return refuse(Refusal::kNoWindow);
    if (!udpEndpoint.Open())
        return fail("socket", WSAGetLastError());
    if (!udpEndpoint.SetNonBlocking())
        return fail("ioctlsocket FIONBIO", WSAGetLastError());
    udpEndpoint.StopResetReports();
    udpEndpoint.ReadReceiveBufferSize();
    if (!udpEndpoint.AllocateReceiveBuffer())
        return fail("memory-service allocation of the receive buffer (no memory service, or it gave no buffer)", 0);
    if (!probeExchange.ReserveReplyQueue())
        return fail("allocation of the reply queue", 0);
    udpEndpoint.WidenSocketBuffer();
    // SetSocketTimeout names its failed call and code itself.
    if (!SetSocketTimeout(1000))
        return fail("SetSocketTimeout", 0);
    if (!notificationWindow.NotifyReads(udpEndpoint.Socket()))
        return fail("WSAAsyncSelect", WSAGetLastError());
    return 1;
}

int32_t CLinkrateDetector::SetSocketTimeout(int32_t milliseconds)
{
    if (!udpEndpoint.SocketOpen()) {
        Error("%s exit fail", kSetSocketTimeout);
        Refused(kSetSocketTimeout, RefusalText(Refusal::kNoSocket));
        return 0;
    }
    if (!udpEndpoint.SetTimeouts(milliseconds)) {
        const uint32_t error = WSAGetLastError();
        Error("%s exit fail", kSetSocketTimeout);
        StepFailed(kSetSocketTimeout, "setsockopt SO_RCVTIMEO/SO_SNDTIMEO", error);
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
    StepFailed(kCreateLRDWindow, notificationWindow.FailedStep(), notificationWindow.FailedError());
    return 0;
}

int32_t CLinkrateDetector::DestoryLRDWindow()
{
    if (notificationWindow.Destroy()) {
        Trace("%s exit success", kDestoryLRDWindow);
        return 1;
    }
    Error("%s exit fail", kDestoryLRDWindow);
    StepFailed(kDestoryLRDWindow, notificationWindow.FailedStep(), notificationWindow.FailedError());
    return 0;
}
