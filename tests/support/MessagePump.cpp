#include "MessagePump.h"

#include <windows.h>

namespace {

void DispatchPending()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

}  // namespace

bool PumpUntil(const std::function<bool()>& done, unsigned timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        DispatchPending();
        if (done())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        // A message ends the wait at once; the nap only bounds how late a
        // condition that no message announces is seen.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    }
}

void PumpFor(unsigned ms)
{
    PumpUntil([] { return false; }, ms);
}
