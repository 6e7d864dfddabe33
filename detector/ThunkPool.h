// Executable thunks for timer procedures. A thunk is 13 bytes of code that puts a
// context pointer into the first argument of a TIMERPROC call and jumps on to a
// procedure with the same four arguments:
//
//   C7 44 24 04 <context>   mov dword ptr [esp+4], context
//   E9 <rel32>              jmp target
//
// Thunks live in pages from VirtualAlloc, not in heap objects, because a process
// with data execution prevention faults on code in the heap.
#pragma once

// Hands out a thunk that calls target with context as its first argument, or null
// when no executable memory can be had. target must take the four TIMERPROC
// arguments with the TIMERPROC calling convention.
void* AcquireTimerThunk(void* context, const void* target);

// Gives a thunk back. From now on it calls its last target with a null context,
// so a tick that the system had already queued for it is harmless; the thunk is
// reused as late as possible.
void ReleaseTimerThunk(void* thunk);
