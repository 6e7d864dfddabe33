// The detector's notification window: a message-only window of the class
// "LinkrateDetectorModuleWindow", registered for this copy of the module alone,
// that receives the socket's read events as message 13098 and the window timer
// 2321. All window messages, window handles and window timer ids of the
// detector live here; the detector (LrdDeliverWindowMessage) is told what each
// message asks of it.
//
// The window belongs to the thread that creates it; its messages arrive only
// while that thread dispatches. The window procedure holds the module for its
// whole run, so that a sink that releases the last detector from inside a
// notification does not let the host unload the code that is still to return,
// and the detector is held while a message is handed on.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <stdint.h>

#include "DispatchHolds.h"

enum : UINT {
    WM_LRD_SOCKET = 13098,  // socket read events posted to the window
};

enum : UINT_PTR {
    LRD_TIMEOUT_TIMER_ID = 2321,  // window timer that sends every request again
};

class NotificationWindow {
public:
    // `holder` is held while a message is handed on.
    explicit NotificationWindow(DispatchHolder& holder);
    NotificationWindow(const NotificationWindow&) = delete;
    NotificationWindow& operator=(const NotificationWindow&) = delete;

    // Registers the class (again, when no window of it is left) and creates the
    // window on the calling thread. False when no window could be made.
    bool Create();
    // Whether a window handle is held.
    bool Held() const { return hWnd != nullptr; }
    // Has the socket's read events posted to the window.
    bool NotifyReads(SOCKET socket);
    // No read events of the socket are posted until NotifyReads asks again;
    // those already posted stay queued.
    void PauseReads(SOCKET socket);
    // Posts a read notification of the window's own, for datagrams already taken
    // off the socket.
    void PostRead(SOCKET socket);
    // Asks for one more read notification once the thread's queue holds nothing
    // else, as a timer of the thread would get its turn: the host's own timers
    // and posted messages come first. The socket's read events are paused
    // until that turn.
    void ReadAgainLater(SOCKET socket);
    // Lets the window go: on its own thread it is destroyed; on another thread
    // it is cut off at once (its queued messages reach neither the detector nor
    // this module) and closed by its own thread at its next pump. Then the class
    // is unregistered, which fails harmlessly while other windows of it exist.
    // False when the handle no longer named a window; the handle is then kept.
    bool Destroy();
    // At the module's unload: the class goes, unless a window of it is still
    // open (it then names only the system's default procedure).
    static void UnregisterClassAtUnload();
    // Drops the handle without touching the window.
    void Forget() { hWnd = nullptr; }
    // The platform call that made the last Create or Destroy fail, and its error
    // code, for the detector's line that says why.
    const char* FailedStep() const { return pszFailedStep; }
    uint32_t FailedError() const { return dwFailedError; }

    // The window's object for a message that reached the window, with its
    // holder held; null when there is none (during the creation, once cut off,
    // or once its holder's release has begun). EndHold on the holder when done.
    static NotificationWindow* TakeHold(HWND window);
    DispatchHolder& Holder() { return holder; }
    // What a message of the window asks of the detector: a read (the socket's
    // event, a notification of PostRead, or the turn ReadAgainLater asked for),
    // the resend timer, or nothing.
    enum class Notice { kNone, kRead, kResend };
    Notice TakeNotice(UINT message, WPARAM wParam, LPARAM lParam);

private:
    void Failed(const char* step, uint32_t errorCode);

    DispatchHolder& holder;
    HWND hWnd;
    // A ReadAgainLater is pending; its socket.
    bool bReadLater;
    SOCKET hReadLaterSocket;
    const char* pszFailedStep = "";
    uint32_t dwFailedError = 0;
};
