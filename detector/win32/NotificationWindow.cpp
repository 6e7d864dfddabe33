#include "NotificationWindow.h"

#include "ModuleState.h"

// The image this code was loaded from, as the linker names it.
extern "C" IMAGE_DOS_HEADER __ImageBase;
extern "C" LRESULT CALLBACK LRDWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);


namespace {

const char kWindowClass[] = "LinkrateDetectorModuleWindow";

// The window's own timer for ReadAgainLater; nothing else arms a timer on it.
const UINT_PTR kReadAgainTimerId = WM_LRD_SOCKET;

// Every window of this module copy's class registers the class anew and
// unregisters it when it goes; the unregistration fails while another window of
// the class exists. Threads would otherwise interleave those steps: an
// unregistration between this thread's registration and its CreateWindowExA
// leaves the creation without its class. The class steps and the window steps
// they go with therefore run as one. A slim lock needs neither creating nor
// deleting, so an unload leaves nothing of it behind.
SRWLOCK g_windowClassLock = SRWLOCK_INIT;

class ClassSteps {
public:
    ClassSteps() { AcquireSRWLockExclusive(&g_windowClassLock); }
    ~ClassSteps() { ReleaseSRWLockExclusive(&g_windowClassLock); }
    ClassSteps(const ClassSteps&) = delete;
    ClassSteps& operator=(const ClassSteps&) = delete;
};

// Taken apart from the class steps, which send the window messages during its
// creation: clearing the window's user data excludes a procedure that is
// reading it and taking its hold.
SRWLOCK g_userDataLock = SRWLOCK_INIT;

// The image this code was loaded from. A class registered with it belongs to
// this copy of the module alone: another copy, loaded from another path, gets a
// class of its own with its own procedure, and survives this one's unload.
HINSTANCE ModuleInstance() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

}  // namespace

// The window procedure: holds the module, delivers the message to the
// detector's LrdDeliverWindowMessage, and lets the hold go as its last step: it
// jumps to the system's InterlockedDecrement with DefWindowProcA in place of a
// return address, so that the decrement returns into DefWindowProcA, which
// answers the message and returns to the caller.
// No instruction of the module runs once the count may have reached zero.
// A naked function (its body is the whole of it) rather than a bare label, so
// that the debug information names it and a crash inside it symbolises to it.
extern "C" __attribute__((naked)) LRESULT CALLBACK LRDWindowProc(HWND, UINT, WPARAM, LPARAM)
{
    asm(R"(
    lock incl _g_lrdUnloadBlockers
    pushl 16(%esp)
    pushl 16(%esp)
    pushl 16(%esp)
    pushl 16(%esp)
    call _LrdDeliverWindowMessage@16
    pushl $_g_lrdUnloadBlockers
    pushl __imp__DefWindowProcA@16
    jmp *__imp__InterlockedDecrement@4
)");
}

NotificationWindow::NotificationWindow(DispatchHolder& holder)
    : holder(holder), hWnd(nullptr), bReadLater(false), hReadLaterSocket(INVALID_SOCKET)
{
}

NotificationWindow* NotificationWindow::TakeHold(HWND window)
{
    // Messages sent during the window's creation find no object yet, and those
    // that come once Destroy has cut the window off find none any more. The
    // object is read and held under the lock that cuts it off: it stays whole
    // until the hold ends, even when another thread releases it meanwhile.
    AcquireSRWLockShared(&g_userDataLock);
    auto* self = reinterpret_cast<NotificationWindow*>(GetWindowLongA(window, GWL_USERDATA));
    if (self != nullptr && !self->holder.TakeDispatchHold())
        self = nullptr;
    ReleaseSRWLockShared(&g_userDataLock);
    return self;
}

NotificationWindow::Notice NotificationWindow::TakeNotice(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_LRD_SOCKET && WSAGETSELECTEVENT(lParam) == FD_READ) {
        // While a later turn is pending, the datagrams wait for it: taking them
        // now would keep the queue busy and the thread's timers waiting.
        return bReadLater ? Notice::kNone : Notice::kRead;
    }
    if (message == WM_TIMER && wParam == kReadAgainTimerId) {
        if (!bReadLater)
            return Notice::kNone;
        KillTimer(hWnd, kReadAgainTimerId);
        bReadLater = false;
        // The events resume before the turn: what arrives during it is told.
        NotifyReads(hReadLaterSocket);
        return Notice::kRead;
    }
    if (message == WM_TIMER && wParam == LRD_TIMEOUT_TIMER_ID)
        return Notice::kResend;
    return Notice::kNone;
}

bool NotificationWindow::Create()
{
    DWORD registerError, createError;
    {
        ClassSteps classSteps;
        const HINSTANCE instance = ModuleInstance();
        UnregisterClassA(kWindowClass, instance);
        // The class names the system's default procedure, never this module's:
        // a class can outlive the module (another thread's window still open at
        // the unload), and a class naming the module's procedure would then
        // point into an unloaded image. Each window takes the module's
        // procedure once it is made.
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = &DefWindowProcA;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = kWindowClass;
        // The registration's result is not needed to go on, only to say why a
        // window could not be made: it fails while another detector's window
        // holds the class (ERROR_CLASS_ALREADY_EXISTS), which is no cause.
        registerError = RegisterClassA(&windowClass) != 0 ? 0 : GetLastError();
        // Message-only: never shown, and never among the windows a broadcast
        // waits for while this thread is busy elsewhere.
        hWnd = CreateWindowExA(0, kWindowClass, kWindowClass, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                               CW_USEDEFAULT, HWND_MESSAGE, nullptr, instance, nullptr);
        createError = hWnd != nullptr ? 0 : GetLastError();
    }
    if (hWnd == nullptr) {
        if (registerError != 0 && registerError != ERROR_CLASS_ALREADY_EXISTS)
            Failed("RegisterClassA", registerError);
        else
            Failed("CreateWindowExA", createError);
        return false;
    }
    SetWindowLongA(hWnd, GWL_USERDATA, (LONG)(LONG_PTR)this);
    SetWindowLongA(hWnd, GWL_WNDPROC, (LONG)(LONG_PTR)&LRDWindowProc);
    return true;
}

void NotificationWindow::UnregisterClassAtUnload()
{
    // Fails, harmlessly, while a window of the class is still open: the class
    // names only the default procedure.
    ClassSteps classSteps;
    UnregisterClassA(kWindowClass, ModuleInstance());
}

void NotificationWindow::Failed(const char* step, uint32_t errorCode)
{
    pszFailedStep = step;
    dwFailedError = errorCode;
}

bool NotificationWindow::NotifyReads(SOCKET socket)
{
    return WSAAsyncSelect(socket, hWnd, WM_LRD_SOCKET, FD_READ) != SOCKET_ERROR;
}

void NotificationWindow::PauseReads(SOCKET socket) { WSAAsyncSelect(socket, hWnd, 0, 0); }

void NotificationWindow::PostRead(SOCKET socket)
{
    PostMessageA(hWnd, WM_LRD_SOCKET, (WPARAM)socket, WSAMAKESELECTREPLY(FD_READ, 0));
}

void NotificationWindow::ReadAgainLater(SOCKET socket)
{
    if (bReadLater)
        return;
    hReadLaterSocket = socket;
    // A window timer comes only when nothing else waits in the queue. The
    // socket's events are paused meanwhile: a flood would otherwise keep posting
    // them (Wine posts one for each datagram that arrives, read or not), the
    // queue would never run empty, and no timer of the thread would come, the
    // host's own included. Without a timer, a posted notification still gets the
    // rest read.
    if (SetTimer(hWnd, kReadAgainTimerId, USER_TIMER_MINIMUM, nullptr) != 0) {
        bReadLater = true;
        PauseReads(socket);
    } else {
        PostRead(socket);
    }
}

bool NotificationWindow::Destroy()
{
    // Set when the window's own thread could not destroy it and it could not be
    // told to close either; otherwise a failure means a stale handle.
    bool closeRefused = false;
    DWORD closeError = 0;
    {
        ClassSteps classSteps;
        if (IsWindow(hWnd)) {
            // From now on the window's messages, those already queued included,
            // find no object. This works from any thread of the process.
            AcquireSRWLockExclusive(&g_userDataLock);
            SetWindowLongA(hWnd, GWL_USERDATA, 0);
            ReleaseSRWLockExclusive(&g_userDataLock);
            bReadLater = false;
            // Only the window's own thread may destroy it: a release on another
            // thread leaves the closing to the window's thread (DefWindowProcA
            // destroys it on WM_CLOSE at its next pump), and so does a refused
            // DestroyWindow. The default procedure stands in for the module's
            // meanwhile, since the module may be unloaded by then; a host's
            // subclass in its place is left as it is (the host restores its
            // saved procedure before it releases the detector).
            if (GetWindowThreadProcessId(hWnd, nullptr) == GetCurrentThreadId() && DestroyWindow(hWnd)) {
                hWnd = nullptr;
            } else {
                if (GetWindowLongA(hWnd, GWL_WNDPROC) == (LONG)(LONG_PTR)&LRDWindowProc)
                    SetWindowLongA(hWnd, GWL_WNDPROC, (LONG)(LONG_PTR)&DefWindowProcA);
                if (PostMessageA(hWnd, WM_CLOSE, 0, 0)) {
                    hWnd = nullptr;
                } else {
                    closeError = GetLastError();
                    closeRefused = true;
                }
            }
        }
        UnregisterClassA(kWindowClass, ModuleInstance());
    }
    if (hWnd == nullptr)
        return true;
    Failed(closeRefused ? "PostMessageA WM_CLOSE (DestroyWindow refused)" : "IsWindow: the handle names no window",
           closeError);
    return false;
}
