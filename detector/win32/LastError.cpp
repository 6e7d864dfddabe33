#include <winsock2.h>

#include "LastError.h"

namespace {

struct RefusalError {
    Refusal refusal;
    DWORD error;
};

// One code a reason where Windows has a fitting one; the faults of a list or a
// buffer share ERROR_INVALID_PARAMETER, and the reason line tells them apart.
const RefusalError kRefusalErrors[] = {
    {Refusal::kAlreadyInitialised, ERROR_ALREADY_INITIALIZED},
    {Refusal::kFinalised, ERROR_INVALID_HANDLE_STATE},
    {Refusal::kNotInitialised, ERROR_INVALID_STATE},
    {Refusal::kAlreadyDetecting, ERROR_BUSY},
    {Refusal::kDetectionOver, ERROR_INVALID_HANDLE_STATE},
    {Refusal::kNullList, ERROR_INVALID_PARAMETER},
    {Refusal::kEmptyList, ERROR_INVALID_PARAMETER},
    {Refusal::kCountOutOfRange, ERROR_INVALID_PARAMETER},
    {Refusal::kNullResultBuffer, ERROR_INVALID_PARAMETER},
    {Refusal::kNoDetection, ERROR_INVALID_STATE},
    {Refusal::kOutOfMemory, ERROR_NOT_ENOUGH_MEMORY},
    {Refusal::kSocketExists, ERROR_ALREADY_EXISTS},
    {Refusal::kNoWindow, ERROR_INVALID_WINDOW_HANDLE},
    {Refusal::kNoSocket, WSAENOTSOCK},
    {Refusal::kNullAddress, ERROR_INVALID_PARAMETER},
    {Refusal::kDetectionEnded, ERROR_INVALID_STATE},
    {Refusal::kWrongThread, ERROR_WINDOW_OF_OTHER_THREAD},
};

}  // namespace

DWORD RefusalLastError(Refusal refusal)
{
    for (const RefusalError& entry : kRefusalErrors)
        if (entry.refusal == refusal)
            return entry.error;
    return ERROR_INVALID_FUNCTION;
}
