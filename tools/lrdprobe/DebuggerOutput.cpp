#include "DebuggerOutput.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

namespace {

// OutputDebugStringA raises DBG_PRINTEXCEPTION_C with the text in its second
// argument; continuing the execution tells it that a debugger took the text. The
// handler runs on the writing thread, inside its call, so the line comes out in
// order with everything else that thread prints.
LONG CALLBACK OnDebuggerOutput(EXCEPTION_POINTERS* info)
{
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    if (text != nullptr) {
        size_t length = strlen(text);
        while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
            --length;
        fprintf(stderr, "debug: %.*s\n", (int)length, text);
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

void ShowDebuggerOutput()
{
    AddVectoredExceptionHandler(1, OnDebuggerOutput);
}
