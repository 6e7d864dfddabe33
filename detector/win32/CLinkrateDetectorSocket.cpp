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
    // Each step keeps what it made on failure; Cleanup gives it back. The
    // failed step's error code is taken before any line is written.
    auto refuse = [this](Refusal refusal) { return Refuse(kCreateSocket, refusal); };
    auto fail = [this](const char* step, uint32_t errorCode) {
        return FailStep(kCreateSocket, step, errorCode, errorCode);
    };
    auto noMemory = [this](const char* step) { return FailStep(kCreateSocket, step, 0, ERROR_NOT_ENOUGH_MEMORY); };
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
        return noMemory("memory-service allocation of the receive buffer (no memory service, or it gave no buffer)");
    if (!probeExchange.ReserveReplyQueue())
        return noMemory("allocation of the reply queue");
    udpEndpoint.WidenSocketBuffer();
    // SetSocketTimeout names its failed call and code itself, and leaves its code.
    if (!SetSocketTimeout(1000))
        return FailStep(kCreateSocket, "SetSocketTimeout", 0, dwCallError);
    if (!notificationWindow.NotifyReads(udpEndpoint.Socket()))
        return fail("WSAAsyncSelect", WSAGetLastError());
    return 1;
}

int32_t CLinkrateDetector::SetSocketTimeout(int32_t milliseconds)
{
    if (!udpEndpoint.SocketOpen())
        return Refuse(kSetSocketTimeout, Refusal::kNoSocket);
    if (!udpEndpoint.SetTimeouts(milliseconds)) {
        const uint32_t error = WSAGetLastError();
        return FailStep(kSetSocketTimeout, "setsockopt SO_RCVTIMEO/SO_SNDTIMEO", error, error);
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
    const uint32_t error = notificationWindow.FailedError();
    return FailStep(kCreateLRDWindow, notificationWindow.FailedStep(), error,
                    error != 0 ? error : ERROR_CANNOT_FIND_WND_CLASS);
}

int32_t CLinkrateDetector::DestoryLRDWindow()
{
    if (notificationWindow.Destroy()) {
        Trace("%s exit success", kDestoryLRDWindow);
        return 1;
    }
    const uint32_t error = notificationWindow.FailedError();
    return FailStep(kDestoryLRDWindow, notificationWindow.FailedStep(), error,
                    error != 0 ? error : ERROR_INVALID_WINDOW_HANDLE);
}
