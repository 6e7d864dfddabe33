#include "ImportFaults.h"

#include <mswsock.h>

#include <atomic>
#include <stdexcept>
#include <string.h>
#include <type_traits>

namespace {

enum ErrorKind { kLastError, kWinSock, kReturned };

struct CallInfo {
    const char* dll;
    const char* name;
    ErrorKind errorKind;
    uintptr_t failureValue;
    DWORD usualError;
};

const CallInfo kCalls[] = {
#define LRD_PLATFORM_CALL_INFO(dll, name, errorKind, failureValue, usualError) \
    {#dll ".dll", #name, errorKind, (uintptr_t)(failureValue), (DWORD)(usualError)},
    LRD_PLATFORM_CALLS(LRD_PLATFORM_CALL_INFO)
#undef LRD_PLATFORM_CALL_INFO
};

// Calls k to k + count - 1 (all from k when count is 0), k counted from 1.
struct CallRange {
    unsigned first = 0;  // 0: none
    unsigned count = 0;
    bool Holds(unsigned call) const { return first != 0 && call >= first && (count == 0 || call - first < count); }
};

struct CallState {
    const void* original = nullptr;
    void** slots[4] = {};  // the import slots patched, in every descriptor that names the DLL
    int slotCount = 0;
    std::atomic<unsigned> calls{0};
    std::atomic<unsigned> failures{0};
    CallRange failing;
    DWORD error = 0;
    CallFilter filter;
    CallRange delayed;
    unsigned delayMs = 0;
};

CallState g_states[ImportFaults::kCallCount];
bool g_active = false;
std::atomic<CallHook> g_hook{nullptr};

template <class T>
uintptr_t Widen(T value)
{
    if constexpr (std::is_pointer<T>::value)
        return reinterpret_cast<uintptr_t>(value);
    else
        return (uintptr_t)value;
}

template <class R>
R Narrow(uintptr_t value)
{
    if constexpr (std::is_pointer<R>::value)
        return reinterpret_cast<R>(value);
    else
        return (R)value;
}

void ReportError(const CallInfo& info, DWORD error)
{
    if (info.errorKind == kWinSock)
        WSASetLastError((int)error);
    else if (info.errorKind == kLastError)
        SetLastError(error);
}

// The replacement of one function: counts the call, then fails it, delays it or
// lets it through. Its signature is the function's own, deduced from its address.
template <int Id, class R, class... A>
R WINAPI Replacement(A... args)
{
    CallState& state = g_states[Id];
    const CallInfo& info = kCalls[Id];
    unsigned call = ++state.calls;
    if (CallHook hook = g_hook.load())
        hook(static_cast<PlatformCall>(Id));
    bool fail = state.failing.Holds(call);
    if (!fail && state.filter) {
        const uintptr_t widened[] = {Widen(args)..., 0};
        fail = state.filter(widened);
    }
    if (fail) {
        ++state.failures;
        DWORD error = state.error != 0 ? state.error : info.usualError;
        ReportError(info, error);
        return Narrow<R>(info.errorKind == kReturned ? (uintptr_t)error : info.failureValue);
    }
    if (state.delayed.Holds(call))
        Sleep(state.delayMs);
    return reinterpret_cast<R(WINAPI*)(A...)>(const_cast<void*>(state.original))(args...);
}

template <int Id, class R, class... A>
const void* ReplacementFor(R(WINAPI*)(A...))
{
    return reinterpret_cast<const void*>(&Replacement<Id, R, A...>);
}

const void* const kReplacements[] = {
#define LRD_PLATFORM_CALL_REPLACEMENT(dll, name, errorKind, failureValue, usualError) \
    ReplacementFor<(int)PlatformCall::name>(&::name),
    LRD_PLATFORM_CALLS(LRD_PLATFORM_CALL_REPLACEMENT)
#undef LRD_PLATFORM_CALL_REPLACEMENT
};
static_assert(sizeof kReplacements / sizeof kReplacements[0] == ImportFaults::kCallCount, "one replacement a call");

void WriteSlot(void** slot, const void* value)
{
    DWORD former = 0;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &former);
    *slot = const_cast<void*>(value);
    VirtualProtect(slot, sizeof *slot, former, &former);
}

// Finds the import slots of every listed function in the module's import
// descriptors, by the hint/name entries beside them.
void FindSlots(HMODULE module)
{
    auto* base = reinterpret_cast<uint8_t*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return;
    for (auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         descriptor->Name != 0; ++descriptor) {
        const char* dll = reinterpret_cast<const char*>(base + descriptor->Name);
        if (descriptor->OriginalFirstThunk == 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            for (int i = 0; i < ImportFaults::kCallCount; ++i) {
                CallState& state = g_states[i];
                if (_stricmp(dll, kCalls[i].dll) != 0 || strcmp(reinterpret_cast<const char*>(byName->Name),
                                                                kCalls[i].name) != 0)
                    continue;
                if (state.slotCount == (int)(sizeof state.slots / sizeof state.slots[0]))
                    continue;
                void** slot = reinterpret_cast<void**>(&slots->u1.Function);
                state.original = *slot;
                state.slots[state.slotCount++] = slot;
            }
        }
    }
}

}  // namespace

ImportFaults::ImportFaults(HMODULE module)
{
    if (g_active)
        throw std::logic_error("one ImportFaults at a time");
    if (module == nullptr)
        throw std::invalid_argument("no module to patch");
    g_active = true;
    Reset();
    for (CallState& state : g_states) {
        state.original = nullptr;
        state.slotCount = 0;
    }
    FindSlots(module);
    for (int i = 0; i < kCallCount; ++i)
        for (int s = 0; s < g_states[i].slotCount; ++s)
            WriteSlot(g_states[i].slots[s], kReplacements[i]);
}

ImportFaults::~ImportFaults()
{
    for (CallState& state : g_states) {
        for (int s = 0; s < state.slotCount; ++s)
            WriteSlot(state.slots[s], state.original);
        state.slotCount = 0;
    }
    Reset();
    g_active = false;
}

const char* ImportFaults::Name(PlatformCall call) { return kCalls[(int)call].name; }

bool ImportFaults::Imports(PlatformCall call) const { return g_states[(int)call].slotCount != 0; }

unsigned ImportFaults::Calls(PlatformCall call) const { return g_states[(int)call].calls.load(); }

unsigned ImportFaults::Failures(PlatformCall call) const { return g_states[(int)call].failures.load(); }

void ImportFaults::Fail(PlatformCall call, unsigned k, DWORD error, unsigned count)
{
    CallState& state = g_states[(int)call];
    state.error = error;
    state.failing.count = count;
    state.failing.first = k == 0 ? 0 : state.calls.load() + k;
}

void ImportFaults::FailWhen(PlatformCall call, CallFilter filter, DWORD error)
{
    CallState& state = g_states[(int)call];
    state.error = error;
    state.filter = std::move(filter);
}

void ImportFaults::Delay(PlatformCall call, unsigned k, unsigned ms, unsigned count)
{
    CallState& state = g_states[(int)call];
    state.delayMs = ms;
    state.delayed.count = count;
    state.delayed.first = k == 0 ? 0 : state.calls.load() + k;
}

void ImportFaults::SetCallHook(CallHook hook) { g_hook = hook; }

void** ImportFaults::ImportSlot(HMODULE module, const char* dll, const char* name)
{
    auto* base = reinterpret_cast<uint8_t*>(module);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return nullptr;
    for (auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         descriptor->Name != 0; ++descriptor) {
        if (descriptor->OriginalFirstThunk == 0 || _stricmp(reinterpret_cast<const char*>(base + descriptor->Name), dll))
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots)
            if (!IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) &&
                strcmp(reinterpret_cast<const char*>(
                           reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name),
                       name) == 0)
                return reinterpret_cast<void**>(&slots->u1.Function);
    }
    return nullptr;
}

void ImportFaults::WriteImportSlot(void** slot, const void* value) { WriteSlot(slot, value); }

void ImportFaults::Reset()
{
    for (CallState& state : g_states) {
        state.calls = 0;
        state.failures = 0;
        state.failing = CallRange();
        state.error = 0;
        state.filter = nullptr;
        state.delayed = CallRange();
        state.delayMs = 0;
    }
}
