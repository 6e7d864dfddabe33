#include "ModuleState.h"

// Static initialisation (creator registrations, the WinSock start-up lock) has run
// before this; the scheduled destructions of the module's statics run after the
// detach step, so the leak report still sees the registry.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
        ModuleAttach(instance);
    else if (reason == DLL_PROCESS_DETACH)
        ModuleDetach(reserved != nullptr ? 1 : 0);
    return TRUE;
}
