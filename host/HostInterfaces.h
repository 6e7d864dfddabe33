// The host framework's interfaces as the module calls them: the public header
// that a host bringing its own factory library implements.
#pragma once

#include "ZelFactInterfaces.h"
