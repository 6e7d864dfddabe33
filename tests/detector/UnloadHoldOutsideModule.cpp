// The timer tests compile the timer routes without the module, whose unload
// answer a route holds while a timer cut off on another thread has still to tick.
// Outside the module there is nothing to hold.
#include "ModuleState.h"

void HoldModuleUnload() {}

void EndModuleUnloadHold() {}
