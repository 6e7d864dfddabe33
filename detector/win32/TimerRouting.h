// Routes the ticks of thread timers to the objects that started them without any
// executable memory: every timer gets the one timer procedure of this module,
// which finds the tick's receiver by the thread it runs on and the system's timer
// id. Ids are the system's per thread, so the thread is part of the key.
//
// A route can be removed from any thread, which is what a release on another
// thread than the timer's needs: the timer itself can only be killed on its own
// thread, so its next tick there finds no route and kills it then.
//
// Thread ids and timer ids are reused: a thread that exits takes its timers
// with it, and a later thread may get the same thread id and the same timer id.
// A route is therefore removed only by the receiver it leads to, and a route
// found at a key that a new timer is given is stale and simply replaced: its old
// receiver can no longer touch the new timer.
#pragma once

#include <windows.h>

#include <stdint.h>

// Called on the timer's thread with the receiver given when the timer started.
typedef void (*TimerTickHandler)(void* receiver, UINT_PTR timerId);

// Starts a thread timer of the calling thread whose ticks reach
// handler(receiver, id). With a running timer's id in `replacing`, that timer is
// started anew with the new interval (its id may stay or change; the route
// follows it). Returns the timer's id, or 0 when no timer could be made; a
// replaced timer then keeps running as it was.
UINT_PTR StartRoutedTimer(uint32_t intervalMs, TimerTickHandler handler, void* receiver, UINT_PTR replacing = 0);

// Removes the timer's route if it still leads to `receiver`, and does nothing
// otherwise. On the timer's own thread the timer is killed as well; on another
// thread that still runs, it dies at its next tick there, and the module cannot
// be unloaded until then (that tick runs the module's timer procedure).
void StopRoutedTimer(DWORD threadId, UINT_PTR timerId, const void* receiver);
