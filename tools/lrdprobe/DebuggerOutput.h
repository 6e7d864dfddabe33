// Shows the process's debugger output on standard error as it is written.
#pragma once

// From now on every OutputDebugStringA of the process (the module's log lines
// and glue errors) is printed to standard error, prefixed "debug: ", instead of
// going to a debugger.
void ShowDebuggerOutput();
