// Routes the ticks of thread timers to the objects that started them without any
// executable memory: every timer gets the one timer procedure of this module,
// which finds the tick's receiver by the thread it runs on and the system's timer
// id. Ids are the system's per thread, so the thread is part of the key.
//
// A route can be removed from any thread, which is what a release on another
// thread than the timer's needs: the timer itself can only be killed on its own
// thread, so its next tick there finds no route and kills it then.
//
// A thread's handle is kept while it has timers here: it tells whether the
// thread has ended (its timers went with it) and keeps the thread's id from
// going to a new thread meanwhile. A route is removed only by the receiver it
// leads to.
//
// A tick holds the receiver's component for the handler's run (when a holder
// is given), taken under the lock that removes routes: a release on another
// thread meanwhile is left to the tick's end.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "DispatchHolds.h"

// Called on the timer's thread with the receiver given when the timer started.
typedef void (*TimerTickHandler)(void* receiver, UINT_PTR timerId);

// Starts a thread timer of the calling thread whose ticks reach
// handler(receiver, id), with `holder` (if any) held meanwhile. With a running
// timer's id in `replacing`, that timer is
// started anew with the new interval (its id may stay or change; the route
// follows it). Returns the timer's id, or 0 when no timer could be made; a
// replaced timer then keeps running as it was.
UINT_PTR StartRoutedTimer(uint32_t intervalMs, TimerTickHandler handler, void* receiver, DispatchHolder* holder,
                          UINT_PTR replacing = 0);

// Removes the timer's route if it still leads to `receiver`, and does nothing
// otherwise. On the timer's own thread the timer is killed as well; on another
// thread that still runs, it dies at its next tick there, and the module cannot
// be unloaded until then (that tick runs the module's timer procedure) or until
// that thread has ended.
void StopRoutedTimer(DWORD threadId, UINT_PTR timerId, const void* receiver);
