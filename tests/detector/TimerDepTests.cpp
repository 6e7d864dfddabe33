// Timers in a process with data execution prevention and without the system's
// emulation of the classic heap thunk, and with executable memory refused: the
// ticks reach their owner without any code made at run time.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "ImportFaults.h"
#include "MessagePump.h"
#include "TimerOwner.h"

namespace {

// ERROR_DYNAMIC_CODE_BLOCKED, what a code-integrity policy answers.
const DWORD kDynamicCodeBlocked = 1655;

const void* g_dataCode = nullptr;
int g_executeFaults = 0;
int g_recorded = 0;

void CALLBACK Record(void*, UINT, UINT_PTR, DWORD)
{
    ++g_recorded;
}

// Turns an execute fault at the start of g_dataCode, reached by a TIMERPROC call,
// into a return from that call: pops the return address and the four arguments.
LONG CALLBACK ReturnFromDataCode(EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2 ||
        record->ExceptionInformation[0] != EXCEPTION_EXECUTE_FAULT ||
        reinterpret_cast<const void*>(record->ExceptionInformation[1]) != g_dataCode)
        return EXCEPTION_CONTINUE_SEARCH;
    CONTEXT* context = pointers->ContextRecord;
    context->Eip = *reinterpret_cast<DWORD*>(context->Esp);
    context->Esp += 4 + 4 * sizeof(DWORD);
    ++g_executeFaults;
    return EXCEPTION_CONTINUE_EXECUTION;
}

TEST(TimerUnderDep, TicksReachTheOwner)
{
    ASSERT_TRUE(SetProcessDEPPolicy(PROCESS_DEP_ENABLE | PROCESS_DEP_DISABLE_ATL_THUNK_EMULATION));

    // The policy is really in force: the same thunk in heap memory faults instead
    // of being run or emulated.
    unsigned char* heapThunk = static_cast<unsigned char*>(malloc(16));
    ASSERT_NE(heapThunk, nullptr);
    const unsigned char prefix[] = {0xC7, 0x44, 0x24, 0x04, 0, 0, 0, 0, 0xE9};
    memcpy(heapThunk, prefix, sizeof prefix);
    int32_t displacement = (int32_t)((uintptr_t)&Record - ((uintptr_t)heapThunk + 13));
    memcpy(heapThunk + 9, &displacement, sizeof displacement);
    g_dataCode = heapThunk;
    void* handler = AddVectoredExceptionHandler(1, ReturnFromDataCode);
    reinterpret_cast<TIMERPROC>(heapThunk)(nullptr, WM_TIMER, 1, 0);
    RemoveVectoredExceptionHandler(handler);
    free(heapThunk);
    EXPECT_EQ(g_executeFaults, 1);
    EXPECT_EQ(g_recorded, 0);

    // The timer service is linked into this program, so its calls go through
    // the program's own import table.
    ImportFaults faults(GetModuleHandleA(nullptr));
    const DWORD executable = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    faults.FailWhen(PlatformCall::VirtualAlloc, [=](const uintptr_t* args) { return (args[3] & executable) != 0; },
                    kDynamicCodeBlocked);
    TimerOwner owner;
    ASSERT_TRUE(owner.StartTimer(1, 20, &TimerOwner::OnA));
    EXPECT_TRUE(PumpUntil([&] { return owner.ticksA >= 4; }, 5000));
    EXPECT_EQ(faults.Failures(PlatformCall::VirtualAlloc), 0u) << "no executable memory asked for";
}

}  // namespace
