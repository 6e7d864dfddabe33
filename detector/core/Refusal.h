// Why the detector refused a call: the reasons its refusals name in the line
// after their "exit fail" line, and the rule that picks the reason of a refused
// Detect. Plain C++, no platform header.
#pragma once

#include <stdint.h>

enum class Refusal {
    kAlreadyInitialised,
    kFinalised,
    kNotInitialised,
    kAlreadyDetecting,
    kDetectionOver,
    kNullList,
    kEmptyList,
    kCountOutOfRange,
    kNullResultBuffer,
    kNoDetection,
    kOutOfMemory,
    kSocketExists,
    kNoWindow,
    kNoSocket,
    kNullAddress,
    kDetectionEnded,
    kWrongThread,
};

// The reason as the line names it, with what the host can do about it.
const char* RefusalText(Refusal refusal);

// The reason of a refused Detect, or false when the call is accepted. A list
// holds 1 to `capacity` servers; its own faults come before the detector's
// state. otherThread: the call comes from a thread other than the one that
// initialised the detector; over: its detection has ended.
bool DetectRefusal(bool listNull, int64_t count, int64_t capacity, bool initialised, bool finalised,
                   bool otherThread, bool detecting, bool over, Refusal& refusal);
