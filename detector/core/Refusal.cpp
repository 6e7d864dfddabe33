#include "Refusal.h"

const char* RefusalText(Refusal refusal)
{
    switch (refusal) {
    case Refusal::kAlreadyInitialised:
        return "already initialised: Initialize is accepted once, also when its window or socket step failed "
               "(then again after Finalize)";
    case Refusal::kFinalised:
        return "finalised: after Finalize the detector neither initialises nor detects again; create a new detector";
    case Refusal::kNotInitialised:
        return "not initialised: Initialize was not called, or its window or socket step failed (the lines it "
               "wrote say why)";
    case Refusal::kAlreadyDetecting:
        return "already detecting: a detection stays open until Finalize; create a new detector for the next one";
    case Refusal::kDetectionOver:
        return "the detection has ended: a detector makes one detection, create a new one for the next";
    case Refusal::kNullList:
        return "null list";
    case Refusal::kEmptyList:
        return "empty list: its count is 0";
    case Refusal::kCountOutOfRange:
        return "count out of range: a text list holds 1 to 64 addresses";
    case Refusal::kNullResultBuffer:
        return "null result buffer";
    case Refusal::kNoDetection:
        return "no detection: the result is there from an accepted Detect until Finalize";
    case Refusal::kOutOfMemory:
        return "out of memory for the candidate list";
    case Refusal::kSocketExists:
        return "the detector already has its socket";
    case Refusal::kNoWindow:
        return "no window: the socket's notifications need the window, which could not be made";
    case Refusal::kNoSocket:
        return "no socket: the detector is not initialised, or finalised";
    case Refusal::kNullAddress:
        return "null address";
    case Refusal::kDetectionEnded:
        return "the detection has ended: replies after the end timer are dropped";
    case Refusal::kWrongThread:
        return "wrong thread: a detector detects on the thread that initialised it, which owns its window and timers "
               "and dispatches their messages";
    }
    return "unknown reason";
}

bool DetectRefusal(bool listNull, int64_t count, int64_t capacity, bool initialised, bool finalised,
                   bool otherThread, bool detecting, bool over, Refusal& refusal)
{
    if (listNull)
        refusal = Refusal::kNullList;
    else if (count == 0)
        refusal = Refusal::kEmptyList;
    else if (count < 0 || count > capacity)
        refusal = Refusal::kCountOutOfRange;
    else if (!initialised)
        refusal = Refusal::kNotInitialised;
    else if (finalised)
        refusal = Refusal::kFinalised;
    else if (otherThread)
        refusal = Refusal::kWrongThread;
    else if (detecting)
        refusal = over ? Refusal::kDetectionOver : Refusal::kAlreadyDetecting;
    else
        return false;
    return true;
}
