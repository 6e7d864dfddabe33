// The C++ runtime's reserve for exceptions thrown when memory has run out: about
// 19 KB that the statically linked runtime allocates when a library is loaded
// and keeps for good. A library that may be unloaded and loaded again gives it
// back at each unload, or every cycle leaves it behind.
#pragma once

// Last in a library's unload step: no exception is thrown after it. Not while
// the process ends, when other threads were stopped wherever they were.
void FreeRuntimeReserve();
