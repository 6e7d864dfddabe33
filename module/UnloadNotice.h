#pragma once

#include <windows.h>

// Tells the framework's component factory that the module's last component is
// gone, naming the module by its handle. Runs with no module lock held: it may load the factory library, and the
// loader lock must never be waited for under the module lock, which the library's
// detach step takes.
void SendUnloadNotice(HMODULE module);
