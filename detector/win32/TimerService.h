// Timers that call back into their owner. The owner derives from CTimerService of
// itself, starts and stops timers by keys of its own choosing and names one of its
// member operations as the callback of each.
//
// Every timer is a thread timer without a window, so its ticks arrive only while
// the thread that started it dispatches messages. Ticks reach the service through
// the module's timer routes (TimerRouting.h), which need no executable memory; the
// tick then finds its entry by the system's timer id.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <new>

#include "TimerRouting.h"

template <class TOwner>
class CTimerService {
public:
    typedef void (TOwner::*TimerCallback)();

    // One per key that was ever stopped, or started with a callback. Running while
    // the callback is set; idle entries have timer id 0 and no callback.
    struct TimerEntry {
        int32_t nKey;
        UINT_PTR uTimerId;
        DWORD dwThreadId;  // the thread that started the running timer
        uint32_t dwInterval;
        TimerCallback pfnCallback;
        TimerEntry* pNext;
    };

    CTimerService() : pEntries(nullptr) {}

    virtual ~CTimerService() { RemoveAllTimers(); }

    CTimerService(const CTimerService&) = delete;
    CTimerService& operator=(const CTimerService&) = delete;

    // Starts the key's timer, or starts it anew with this interval and callback.
    // Non-zero when the timer runs afterwards. A null callback changes nothing,
    // not even a running timer of the key; a timer that cannot be made leaves the
    // key idle.
    int32_t StartTimer(int32_t key, uint32_t intervalMs, TimerCallback callback)
    {
        if (callback == nullptr)
            return 0;
        TimerEntry* entry = FindOrAddEntry(key);
        if (entry == nullptr)
            return 0;
        StopEntry(entry);
        UINT_PTR timerId = StartRoutedTimer(intervalMs, &TimerTick, this, HolderOf(static_cast<TOwner*>(this)));
        if (timerId == 0)
            return 0;
        entry->uTimerId = timerId;
        entry->dwThreadId = GetCurrentThreadId();
        entry->dwInterval = intervalMs;
        entry->pfnCallback = callback;
        return 1;
    }

    // Counts the running key's interval anew from now. Zero when the key does not
    // run on this thread or its timer could not be started anew; it then keeps
    // running as it was.
    int32_t RestartTimer(int32_t key)
    {
        TimerEntry* entry = FindEntry(key);
        if (entry == nullptr || entry->pfnCallback == nullptr || entry->dwThreadId != GetCurrentThreadId())
            return 0;
        UINT_PTR timerId = StartRoutedTimer(entry->dwInterval, &TimerTick, this, HolderOf(static_cast<TOwner*>(this)),
                                            entry->uTimerId);
        if (timerId == 0)
            return 0;
        entry->uTimerId = timerId;
        return 1;
    }

    void StopTimer(int32_t key)
    {
        TimerEntry* entry = FindOrAddEntry(key);
        if (entry != nullptr)
            StopEntry(entry);
    }

protected:
    // The entries in order of creation, for the owner to inspect.
    const TimerEntry* FirstTimerEntry() const { return pEntries; }

private:
    // A component owner is held while its callback runs; another owner is not.
    static DispatchHolder* HolderOf(DispatchHolder* owner) { return owner; }
    static DispatchHolder* HolderOf(void*) { return nullptr; }

    static void TimerTick(void* service, UINT_PTR timerId)
    {
        static_cast<CTimerService*>(service)->DispatchTimer(timerId);
    }

    void DispatchTimer(UINT_PTR timerId)
    {
        const DWORD thread = GetCurrentThreadId();
        TimerEntry* entry = pEntries;
        while (entry != nullptr && !(entry->uTimerId == timerId && entry->dwThreadId == thread))
            entry = entry->pNext;
        if (entry == nullptr)
            return;
        // The callback may stop or restart timers, which rewrites the entry, or
        // destroy the owner; it runs from a copy, and nothing of the service is
        // touched after it.
        TimerEntry copy = *entry;
        TOwner* owner = static_cast<TOwner*>(this);
        if (copy.pfnCallback != nullptr)
            (owner->*copy.pfnCallback)();
    }

    TimerEntry* FindEntry(int32_t key) const
    {
        TimerEntry* entry = pEntries;
        while (entry != nullptr && entry->nKey != key)
            entry = entry->pNext;
        return entry;
    }

    TimerEntry* FindOrAddEntry(int32_t key)
    {
        TimerEntry** link = &pEntries;
        while (*link != nullptr) {
            if ((*link)->nKey == key)
                return *link;
            link = &(*link)->pNext;
        }
        TimerEntry* entry = new (std::nothrow) TimerEntry{key, 0, 0, 0, nullptr, nullptr};
        *link = entry;
        return entry;
    }

    // Works from any thread: the route goes at once, so no tick reaches the
    // service any more; a timer of another thread dies at its next tick there.
    void StopEntry(TimerEntry* entry)
    {
        if (entry->pfnCallback == nullptr)
            return;
        StopRoutedTimer(entry->dwThreadId, entry->uTimerId, this);
        entry->uTimerId = 0;
        entry->dwThreadId = 0;
        entry->pfnCallback = nullptr;
    }

    void RemoveAllTimers()
    {
        while (pEntries != nullptr) {
            TimerEntry* entry = pEntries;
            pEntries = entry->pNext;
            StopEntry(entry);
            delete entry;
        }
    }

    TimerEntry* pEntries;
};
