#include "ModuleState.h"

// Static initialisation (creator registrations, the WinSock start-up lock) has run
// before this; the scheduled destructions of the module's statics run after the
// detach step, so the leak report still sees the registry.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        ModuleAttach(instance);
    else if (reason == DLL_PROCESS_DETACH)
        ModuleDetach();
    return TRUE;
}
