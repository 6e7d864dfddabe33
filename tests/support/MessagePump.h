// Window messages, socket notifications and timers arrive only while the thread
// dispatches messages. Tests wait through these, never through sleeps.
#pragma once

#include <functional>

// Dispatches this thread's messages until done() holds or timeoutMs passes.
// Returns whether done() held.
bool PumpUntil(const std::function<bool()>& done, unsigned timeoutMs = 10000);

// Dispatches this thread's messages for the given time.
void PumpFor(unsigned ms);
