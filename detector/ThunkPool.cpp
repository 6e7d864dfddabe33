#include "ThunkPool.h"

#include <windows.h>

#include <stdint.h>
#include <string.h>

#include <mutex>

namespace {

// A slot: the thunk's code, then, while the slot is free, the link to the next
// free slot. The first slot of each page holds no code; it links the pages.
struct Slot {
    unsigned char code[16];
    Slot* nextFree;
    unsigned char padding[12];
};
static_assert(sizeof(Slot) == 32, "thunk slot size");

const size_t kPageSize = 4096;
const size_t kSlotsPerPage = kPageSize / sizeof(Slot);
const size_t kContextOffset = 4;
const size_t kCodeSize = 13;
const unsigned char kBreakpoint = 0xCC;

// Any thread may create or destroy a timer service, so the pool is locked. Pages
// stay until the module is unloaded: a tick can arrive for any slot that was ever
// handed out. Free slots form a queue, oldest first, so that a given slot goes
// back into use as late as possible.
std::mutex g_lock;
Slot* g_freeHead = nullptr;
Slot* g_freeTail = nullptr;

struct Pages {
    Slot* first = nullptr;
    ~Pages()
    {
        while (first != nullptr) {
            Slot* next = first->nextFree;
            VirtualFree(first, 0, MEM_RELEASE);
            first = next;
        }
    }
};
Pages g_pages;

void PushFree(Slot* slot)
{
    slot->nextFree = nullptr;
    if (g_freeTail != nullptr)
        g_freeTail->nextFree = slot;
    else
        g_freeHead = slot;
    g_freeTail = slot;
}

Slot* PopFree()
{
    Slot* slot = g_freeHead;
    if (slot != nullptr) {
        g_freeHead = slot->nextFree;
        if (g_freeHead == nullptr)
            g_freeTail = nullptr;
    }
    return slot;
}

bool AddPage()
{
    void* page = VirtualAlloc(nullptr, kPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
    if (page == nullptr)
        return false;
    Slot* slots = static_cast<Slot*>(page);
    memset(page, kBreakpoint, kPageSize);
    slots[0].nextFree = g_pages.first;
    g_pages.first = &slots[0];
    for (size_t i = 1; i < kSlotsPerPage; ++i)
        PushFree(&slots[i]);
    return true;
}

void Flush(Slot* slot)
{
    FlushInstructionCache(GetCurrentProcess(), slot->code, kCodeSize);
}

}  // namespace

void* AcquireTimerThunk(void* context, const void* target)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_freeHead == nullptr && !AddPage())
        return nullptr;
    Slot* slot = PopFree();

    unsigned char* code = slot->code;
    uint32_t immediate = (uint32_t)(uintptr_t)context;
    int32_t displacement = (int32_t)((uintptr_t)target - ((uintptr_t)code + kCodeSize));
    code[0] = 0xC7;
    code[1] = 0x44;
    code[2] = 0x24;
    code[3] = 0x04;
    memcpy(code + kContextOffset, &immediate, sizeof immediate);
    code[8] = 0xE9;
    memcpy(code + 9, &displacement, sizeof displacement);
    memset(code + kCodeSize, kBreakpoint, sizeof slot->code - kCodeSize);
    Flush(slot);
    return code;
}

void ReleaseTimerThunk(void* thunk)
{
    if (thunk == nullptr)
        return;
    Slot* slot = reinterpret_cast<Slot*>(thunk);
    std::lock_guard<std::mutex> hold(g_lock);
    // Only the context changes, so the jump still leads to a procedure that
    // ignores a null context.
    const uint32_t none = 0;
    memcpy(slot->code + kContextOffset, &none, sizeof none);
    Flush(slot);
    PushFree(slot);
}
