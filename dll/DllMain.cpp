// The entry point of LinkrateDetector.dll and the components it offers.
#include "CLinkrateDetector.h"
#include "ModuleState.h"
#include "NotificationWindow.h"

namespace {

// Registered here rather than beside the class: the layers are static libraries,
// and only what the module itself names is linked into it.
CreatorRegistration g_registerDetector(LRD_DETECTOR_ID, &CLinkrateDetector::Create);

}  // namespace

// Static initialisation (creator registrations, the WinSock start-up lock) has run
// before this; the scheduled destructions of the module's statics run after the
// detach step, so the leak report still sees the registry.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    // Only at an unload by FreeLibrary: at process exit the other threads are
    // gone and nothing is left to tidy.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr)
        NotificationWindow::UnregisterClassAtUnload();
    ModuleEntry(instance, reason, reserved);
    return TRUE;
}
