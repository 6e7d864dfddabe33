// The hidden window through which socket read events reach the detector.
#include "CLinkrateDetector.h"

#include <mutex>

namespace {

const char kWindowClass[] = "LinkrateDetectorModuleWindow";
const char kCreateLRDWindow[] = "CLinkrateDetector::CreateLRDWindow()";
const char kDestoryLRDWindow[] = "CLinkrateDetector::DestoryLRDWindow()";

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
    DWORD registerError, createError;
    {
        std::lock_guard<std::mutex> classSteps(g_windowClassLock);
        UnregisterClassA(kWindowClass, nullptr);
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = LRDWindowProc;
        windowClass.lpszClassName = kWindowClass;
        // The registration's result is not needed to go on, only to say why a
        // window could not be made: it fails while another detector's window
        // holds the class (ERROR_CLASS_ALREADY_EXISTS), which is no cause.
        registerError = RegisterClassA(&windowClass) != 0 ? 0 : GetLastError();
        hWnd = CreateWindowExA(0, kWindowClass, kWindowClass, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                               CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
        createError = hWnd != nullptr ? 0 : GetLastError();
    }
    if (hWnd != nullptr) {
        SetWindowLongA(hWnd, GWL_USERDATA, (LONG)(LONG_PTR)this);
        return 1;
    }
    Error("%s exit fail", kCreateLRDWindow);
    if (registerError != 0 && registerError != ERROR_CLASS_ALREADY_EXISTS)
        StepFailed(kCreateLRDWindow, "RegisterClassA", registerError);
    else
        StepFailed(kCreateLRDWindow, "CreateWindowExA", createError);
    return 0;
}

int32_t CLinkrateDetector::DestoryLRDWindow()
{
    // Set when the window's own thread could not destroy it and it could not be
    // told to close either; otherwise a failure means a stale handle.
    bool closeRefused = false;
    DWORD closeError = 0;
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
                if (PostMessageA(hWnd, WM_CLOSE, 0, 0)) {
                    hWnd = nullptr;
                } else {
                    closeError = GetLastError();
                    closeRefused = true;
                }
            }
        }
        UnregisterClassA(kWindowClass, nullptr);
    }
    if (hWnd == nullptr) {
        Trace("%s exit success", kDestoryLRDWindow);
        return 1;
    }
    Error("%s exit fail", kDestoryLRDWindow);
    StepFailed(kDestoryLRDWindow,
               closeRefused ? "PostMessageA WM_CLOSE (DestroyWindow refused)" : "IsWindow: the handle names no window",
               closeError);
    return 0;
}

void CLinkrateDetector::PostReadNotification()
{
    PostMessageA(hWnd, WM_LRD_SOCKET, (WPARAM)udpEndpoint.Socket(), WSAMAKESELECTREPLY(FD_READ, 0));
}
