// The hidden window through which socket read events reach the detector, and the
// socket itself.
#include "CLinkrateDetector.h"

#include <mswsock.h>

#include <mutex>

#include "HostComponents.h"

namespace {

const char kWindowClass[] = "LinkrateDetectorModuleWindow";
const char kCreateLRDWindow[] = "CLinkrateDetector::CreateLRDWindow()";
const char kCreateSocket[] = "CLinkrateDetector::CreateSocket()";
const char kSetSocketTimeout[] = "CLinkrateDetector::SetSocketTimeout()";
const char kDestoryLRDWindow[] = "CLinkrateDetector::DestoryLRDWindow()";

enum : uint32_t { kBufferTag = LRD_DETECTOR_ID };

// Every detector of the process shares the window class, registers it anew for
// its window and unregisters it when its window goes; the unregistration fails
// while another window of the class exists. Detectors on other threads would
// otherwise interleave those steps: an unregistration between this thread's
// registration and its CreateWindowExA leaves the creation without its class.
// The class steps and the window steps they go with therefore run as one.
std::mutex g_windowClassLock;

}  // namespace

LRESULT CALLBACK CLinkrateDetector::LRDWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* detector = reinterpret_cast<CLinkrateDetector*>(GetWindowLongA(window, GWL_USERDATA));
    if (detector != nullptr) {
        if (message == WM_LRD_SOCKET && WSAGETSELECTEVENT(lParam) == FD_READ)
            detector->OnRead((SOCKET)wParam, WSAGETSELECTERROR(lParam));
        else if (message == WM_TIMER && wParam == LRD_TIMEOUT_TIMER_ID)
            detector->OnTimeout();
    }
    // The detector may be gone by now (its sink may release it); only the window
    // handle is used from here on.
    return DefWindowProcA(window, message, wParam, lParam);
}

int32_t CLinkrateDetector::CreateLRDWindow()
{
    {
        std::lock_guard<std::mutex> classSteps(g_windowClassLock);
        UnregisterClassA(kWindowClass, nullptr);
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = LRDWindowProc;
        windowClass.lpszClassName = kWindowClass;
        RegisterClassA(&windowClass);
        hWnd = CreateWindowExA(0, kWindowClass, kWindowClass, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                               CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
    }
    if (hWnd != nullptr) {
        SetWindowLongA(hWnd, GWL_USERDATA, (LONG)(LONG_PTR)this);
        return 1;
    }
    Error("%s exit fail", kCreateLRDWindow);
    return 0;
}

int32_t CLinkrateDetector::CreateSocket()
{
    // Each step keeps what it made on failure; Cleanup gives it back.
    auto fail = [this] {
        Error("%s exit fail", kCreateSocket);
        return 0;
    };
    if (hSocket != INVALID_SOCKET || hWnd == nullptr)
        return fail();
    hSocket = socket(AF_INET, SOCK_DGRAM, 0);
    if (hSocket == INVALID_SOCKET)
        return fail();
    u_long nonBlocking = 1;
    if (ioctlsocket(hSocket, FIONBIO, &nonBlocking) == SOCKET_ERROR)
        return fail();
    // Windows reports an ICMP "port unreachable" for an earlier request as a
    // failed receive (WSAECONNRESET) on an unconnected UDP socket; with the
    // option off it does not. Where the option is refused, OnRead skips such
    // failures instead.
    BOOL reportResets = FALSE;
    DWORD returned = 0;
    WSAIoctl(hSocket, SIO_UDP_CONNRESET, &reportResets, sizeof reportResets, nullptr, 0, &returned, nullptr, nullptr);
    int optionLength = sizeof nRecvBufSize;
    // A reply's load field ends at byte 20: a size below that is as good as unread.
    if (getsockopt(hSocket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&nRecvBufSize), &optionLength) ==
            SOCKET_ERROR ||
        nRecvBufSize < 20)
        nRecvBufSize = 1024;
    // The socket's buffer may be far larger than any datagram; ours need not be.
    if (nRecvBufSize > (int32_t)kMaxReceiveBuffer)
        nRecvBufSize = kMaxReceiveBuffer;
    void* buffer = nullptr;
    if (!AllocateBuffer(&buffer, (uint32_t)nRecvBufSize, 1, kBufferTag))
        return fail();
    pRecvBuf = static_cast<uint8_t*>(buffer);
    if (!replyQueue.Reserve(kInitialReplyQueue))
        return fail();
    // With the system's default, the replies of a few hundred servers that
    // answer at once fill the socket's buffer and the rest are lost. A refusal
    // leaves the default.
    int32_t socketBuffer = kSocketReceiveBuffer;
    setsockopt(hSocket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&socketBuffer), sizeof socketBuffer);
    if (!SetSocketTimeout(1000))
        return fail();
    if (WSAAsyncSelect(hSocket, hWnd, WM_LRD_SOCKET, FD_READ) == SOCKET_ERROR)
        return fail();
    return 1;
}

int32_t CLinkrateDetector::SetSocketTimeout(int32_t milliseconds)
{
    if (hSocket == INVALID_SOCKET ||
        setsockopt(hSocket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&milliseconds),
                   sizeof milliseconds) == SOCKET_ERROR ||
        setsockopt(hSocket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&milliseconds),
                   sizeof milliseconds) == SOCKET_ERROR) {
        Error("%s exit fail", kSetSocketTimeout);
        return 0;
    }
    return 1;
}

void CLinkrateDetector::Cleanup()
{
    Trace("CLinkrateDetector::Cleanup()");
    CloseSocket();
    DestoryLRDWindow();
    if (pRecvBuf != nullptr) {
        FreeBuffer(pRecvBuf);
        pRecvBuf = nullptr;
    }
    replyQueue.Release();
}

int32_t CLinkrateDetector::DestoryLRDWindow()
{
    {
        std::lock_guard<std::mutex> classSteps(g_windowClassLock);
        if (IsWindow(hWnd)) {
            // From now on the window's messages, those already queued included,
            // find no detector. This works from any thread of the process.
            SetWindowLongA(hWnd, GWL_USERDATA, 0);
            // Only the window's own thread may destroy it: a release on another
            // thread leaves the closing to the window's thread (DefWindowProcA
            // destroys it on WM_CLOSE at its next pump), and so does a refused
            // DestroyWindow. The default procedure stands in for the module's
            // meanwhile, since the module may be unloaded by then.
            if (GetWindowThreadProcessId(hWnd, nullptr) == GetCurrentThreadId() && DestroyWindow(hWnd)) {
                hWnd = nullptr;
            } else {
                SetWindowLongA(hWnd, GWL_WNDPROC, (LONG)(LONG_PTR)&DefWindowProcA);
                if (PostMessageA(hWnd, WM_CLOSE, 0, 0))
                    hWnd = nullptr;
            }
        }
        UnregisterClassA(kWindowClass, nullptr);
    }
    if (hWnd == nullptr) {
        Trace("%s exit success", kDestoryLRDWindow);
        return 1;
    }
    Error("%s exit fail", kDestoryLRDWindow);
    return 0;
}

int32_t CLinkrateDetector::CloseSocket()
{
    if (hSocket != INVALID_SOCKET) {
        closesocket(hSocket);
        hSocket = INVALID_SOCKET;
    }
    return 1;
}

bool CLinkrateDetector::HoldsResources() const
{
    return hWnd != nullptr || hSocket != INVALID_SOCKET || pRecvBuf != nullptr || replyQueue.Capacity() != 0;
}
