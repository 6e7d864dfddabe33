// Timers that call back into their owner. The owner derives from CTimerService of
// itself, starts and stops timers by keys of its own choosing and names one of its
// member operations as the callback of each.
//
// Every timer is a thread timer without a window, so its ticks arrive only while
// the thread that started it dispatches messages. All timers of a service share one
// timer procedure, a thunk that hands the service to TimerThunkProc; the tick then
// finds its entry by the system's timer id.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <new>

#include "ThunkPool.h"

template <class TOwner>
class CTimerService {
public:
    typedef void (TOwner::*TimerCallback)();

    // One per key that was ever stopped, or started with a callback. Running while
    // the callback is set; idle entries have timer id 0 and no callback.
    struct TimerEntry {
        int32_t nKey;
        UINT_PTR uTimerId;
        TimerCallback pfnCallback;
        TimerEntry* pNext;
    };

    CTimerService() : m_pEntries(nullptr), m_pThunk(nullptr)
    {
        m_pThunk = AcquireTimerThunk(this, reinterpret_cast<const void*>(&TimerThunkProc));
    }

    virtual ~CTimerService()
    {
        RemoveAllTimers();
        ReleaseTimerThunk(m_pThunk);
    }

    CTimerService(const CTimerService&) = delete;
    CTimerService& operator=(const CTimerService&) = delete;

    // Starts the key's timer, or starts it anew with this interval and callback.
    // A null callback changes nothing, not even a running timer of the key.
    void StartTimer(int32_t key, uint32_t intervalMs, TimerCallback callback)
    {
        if (callback == nullptr)
            return;
        TimerEntry* entry = FindOrAddEntry(key);
        if (entry == nullptr)
            return;
        StopEntry(entry);
        // A failed SetTimer, or no thunk, leaves a running entry with id 0 that
        // never fires.
        entry->uTimerId = m_pThunk != nullptr
            ? SetTimer(nullptr, 0, intervalMs, reinterpret_cast<TIMERPROC>(m_pThunk))
            : 0;
        entry->pfnCallback = callback;
    }

    void StopTimer(int32_t key)
    {
        TimerEntry* entry = FindOrAddEntry(key);
        if (entry != nullptr)
            StopEntry(entry);
    }

protected:
    // The entries in order of creation, for the owner to inspect.
    const TimerEntry* FirstTimerEntry() const { return m_pEntries; }

private:
    // The thunk's target: the TIMERPROC arguments with the window, which is null
    // for a thread timer, replaced by the service. A thunk given back by a
    // destroyed service passes null.
    static void CALLBACK TimerThunkProc(CTimerService* service, UINT message, UINT_PTR timerId, DWORD time)
    {
        if (service != nullptr)
            service->DispatchTimer(message, timerId, time);
    }

    void DispatchTimer(UINT message, UINT_PTR timerId, DWORD time)
    {
        TimerEntry* entry = m_pEntries;
        while (entry != nullptr && entry->uTimerId != timerId)
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

    TimerEntry* FindOrAddEntry(int32_t key)
    {
        TimerEntry** link = &m_pEntries;
        while (*link != nullptr) {
            if ((*link)->nKey == key)
                return *link;
            link = &(*link)->pNext;
        }
        TimerEntry* entry = new (std::nothrow) TimerEntry{key, 0, nullptr, nullptr};
        *link = entry;
        return entry;
    }

    void StopEntry(TimerEntry* entry)
    {
        if (entry->pfnCallback == nullptr)
            return;
        KillTimer(nullptr, entry->uTimerId);
        entry->uTimerId = 0;
        entry->pfnCallback = nullptr;
    }

    void RemoveAllTimers()
    {
        while (m_pEntries != nullptr) {
            TimerEntry* entry = m_pEntries;
            m_pEntries = entry->pNext;
            StopEntry(entry);
            delete entry;
        }
    }

    TimerEntry* m_pEntries;
    void* m_pThunk;
};
