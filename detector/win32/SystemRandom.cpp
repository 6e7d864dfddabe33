#include "SystemRandom.h"

#include <windows.h>

// RtlGenRandom: advapi32's export SystemFunction036, which needs neither a
// provider handle nor bcrypt.dll.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

bool DrawSystemRandom(void* bytes, uint32_t size) { return SystemFunction036(bytes, size) != FALSE; }
