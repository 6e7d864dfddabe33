// The entry point of LinkrateDetector.dll and the components it offers.
#include "CLinkrateDetector.h"
#include "ModuleState.h"

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
    ModuleEntry(instance, reason, reserved);
    return TRUE;
}
