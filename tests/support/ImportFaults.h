// Faults at the platform boundary: the loaded module's import address table is
// patched so that its calls of chosen Windows functions go through a counting
// replacement, which can fail the k-th call (the function's failure result, with
// SetLastError or WSASetLastError set to the chosen error) or delay it. Wine
// cannot produce most of these conditions itself: WSAECONNRESET on an unconnected
// UDP socket, executable memory refused by a code-integrity policy, DestroyWindow
// refused on another thread, a window or a timer that cannot be made.
//
// The module's calls and those of the runtime linked into it go through the
// table; the test's own calls do not. Only one ImportFaults may exist at a time,
// and it must go before the module is unloaded.
//
//   ImportFaults faults(module.Handle());
//   faults.Fail(PlatformCall::recvfrom, 2, WSAECONNRESET);   // the second call from now
//   ... run the module ...
//   EXPECT_EQ(faults.Failures(PlatformCall::recvfrom), 1u);
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <ntsecapi.h>

#include <stdint.h>

#include <functional>

// Every function that can be patched: its DLL, its name, what it returns on
// failure, and how it reports the error. WSAStartup returns its error code.
#define LRD_PLATFORM_CALLS(X)                                                        \
    X(WS2_32, WSAStartup, kReturned, WSASYSNOTREADY, WSASYSNOTREADY)                 \
    X(WS2_32, WSACleanup, kWinSock, SOCKET_ERROR, WSAENETDOWN)                       \
    X(WS2_32, socket, kWinSock, INVALID_SOCKET, WSAEMFILE)                           \
    X(WS2_32, ioctlsocket, kWinSock, SOCKET_ERROR, WSAENETDOWN)                      \
    X(WS2_32, WSAIoctl, kWinSock, SOCKET_ERROR, WSAEOPNOTSUPP)                       \
    X(WS2_32, getsockopt, kWinSock, SOCKET_ERROR, WSAENETDOWN)                       \
    X(WS2_32, setsockopt, kWinSock, SOCKET_ERROR, WSAENOBUFS)                        \
    X(WS2_32, WSAAsyncSelect, kWinSock, SOCKET_ERROR, WSAENETDOWN)                   \
    X(WS2_32, sendto, kWinSock, SOCKET_ERROR, WSAENOBUFS)                            \
    X(WS2_32, recvfrom, kWinSock, SOCKET_ERROR, WSAECONNRESET)                       \
    X(WS2_32, closesocket, kWinSock, SOCKET_ERROR, WSAENETDOWN)                      \
    X(USER32, RegisterClassA, kLastError, 0, ERROR_NOT_ENOUGH_MEMORY)                \
    X(USER32, UnregisterClassA, kLastError, 0, ERROR_CLASS_HAS_WINDOWS)              \
    X(USER32, CreateWindowExA, kLastError, 0, ERROR_NOT_ENOUGH_MEMORY)               \
    X(USER32, SetWindowLongA, kLastError, 0, ERROR_ACCESS_DENIED)                    \
    X(USER32, GetWindowLongA, kLastError, 0, ERROR_INVALID_WINDOW_HANDLE)            \
    X(USER32, IsWindow, kLastError, 0, ERROR_INVALID_WINDOW_HANDLE)                  \
    X(USER32, DestroyWindow, kLastError, 0, ERROR_ACCESS_DENIED)                     \
    X(USER32, PostMessageA, kLastError, 0, ERROR_NOT_ENOUGH_QUOTA)                   \
    X(USER32, SetTimer, kLastError, 0, ERROR_NO_SYSTEM_RESOURCES)                    \
    X(USER32, KillTimer, kLastError, 0, ERROR_INVALID_PARAMETER)                     \
    X(KERNEL32, VirtualAlloc, kLastError, 0, ERROR_NOT_ENOUGH_MEMORY)                \
    X(KERNEL32, LoadLibraryA, kLastError, 0, ERROR_MOD_NOT_FOUND)                    \
    X(KERNEL32, GetProcAddress, kLastError, 0, ERROR_PROC_NOT_FOUND)                 \
    X(KERNEL32, GetModuleHandleA, kLastError, 0, ERROR_MOD_NOT_FOUND)                \
    X(KERNEL32, GetModuleFileNameA, kLastError, 0, ERROR_ACCESS_DENIED)              \
    X(KERNEL32, GetPrivateProfileStringA, kLastError, 0, ERROR_FILE_NOT_FOUND)       \
    X(KERNEL32, SetFilePointer, kLastError, INVALID_SET_FILE_POINTER, ERROR_DISK_FULL) \
    X(KERNEL32, WriteFile, kLastError, 0, ERROR_DISK_FULL)                         \
    X(ADVAPI32, SystemFunction036, kLastError, FALSE, ERROR_NOT_ENOUGH_MEMORY)

enum class PlatformCall : int {
#define LRD_PLATFORM_CALL_ENUM(dll, name, errorKind, failureValue, usualError) name,
    LRD_PLATFORM_CALLS(LRD_PLATFORM_CALL_ENUM)
#undef LRD_PLATFORM_CALL_ENUM
};

// The arguments of one call, each widened to a pointer-sized integer.
typedef std::function<bool(const uintptr_t* args)> CallFilter;
// Called on the calling thread at the start of every patched call, before any
// fault or delay: for tests that shape the timing themselves.
typedef void (*CallHook)(PlatformCall call);

class ImportFaults {
public:
    static const int kCallCount = 0
#define LRD_PLATFORM_CALL_COUNT(dll, name, errorKind, failureValue, usualError) +1
        LRD_PLATFORM_CALLS(LRD_PLATFORM_CALL_COUNT)
#undef LRD_PLATFORM_CALL_COUNT
        ;

    // Patches every listed function that the module imports, counting only.
    explicit ImportFaults(HMODULE module);
    // Puts the original addresses back.
    ~ImportFaults();
    ImportFaults(const ImportFaults&) = delete;
    ImportFaults& operator=(const ImportFaults&) = delete;

    static const char* Name(PlatformCall call);
    static PlatformCall At(int index) { return static_cast<PlatformCall>(index); }

    // Whether the module imports the function (only those are patched).
    bool Imports(PlatformCall call) const;
    // Calls since construction or the last Reset, from any thread.
    unsigned Calls(PlatformCall call) const;
    // Calls that were failed on purpose.
    unsigned Failures(PlatformCall call) const;

    // The k-th call from now (1: the next one) fails, and with it the count - 1
    // calls after it; count 0 fails every call from the k-th on, and k 0 fails
    // none. error 0 means the function's usual error (the last column of the
    // list above).
    void Fail(PlatformCall call, unsigned k, DWORD error = 0, unsigned count = 1);
    // Every call whose arguments the filter accepts fails (a null filter: none).
    void FailWhen(PlatformCall call, CallFilter filter, DWORD error = 0);
    // The k-th call from now, and the count - 1 after it (0: all), waits ms
    // milliseconds before it goes through.
    void Delay(PlatformCall call, unsigned k, unsigned ms, unsigned count = 1);
    // Counts to zero; no fault and no delay.
    void Reset();
    // The hook of every patched call from now on (null: none), kept across
    // instances and Reset, since a test may patch a module loaded afresh.
    static void SetCallHook(CallHook hook);
    // The module's import slot of dll!name (null when it imports no such
    // function), for a test that watches a call outside the list above.
    static void** ImportSlot(HMODULE module, const char* dll, const char* name);
    // Writes a slot found by ImportSlot.
    static void WriteImportSlot(void** slot, const void* value);
};
