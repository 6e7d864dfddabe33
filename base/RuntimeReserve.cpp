#include "RuntimeReserve.h"

// libstdc++'s own release of what it keeps for the life of the process, which
// it leaves to tools that check for leaks at exit; it has no header.
namespace __gnu_cxx {
void __freeres();
}

void FreeRuntimeReserve() { __gnu_cxx::__freeres(); }
