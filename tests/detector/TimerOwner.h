// A timer owner for the tests: counts its callbacks and shows its entries.
#pragma once

#include <ostream>
#include <vector>

#include "TimerService.h"

class TimerOwner : public CTimerService<TimerOwner> {
public:
    struct EntryView {
        int32_t key;
        bool running;
        bool operator==(const EntryView& other) const { return key == other.key && running == other.running; }
    };

    explicit TimerOwner(int* destroyed = nullptr) : m_destroyed(destroyed) {}
    ~TimerOwner() override
    {
        if (m_destroyed != nullptr)
            ++*m_destroyed;
    }

    void OnA() { ++ticksA; }
    void OnB() { ++ticksB; }
    void OnC() { ++ticksC; }
    void OnStopOwnKey()
    {
        StopTimer(1);
        ++ticksA;
    }
    // Counts through a pointer, since the owner is gone afterwards.
    void OnDestroyOwner()
    {
        ++*external;
        delete this;
    }

    std::vector<EntryView> Entries() const
    {
        std::vector<EntryView> result;
        for (const TimerEntry* entry = FirstTimerEntry(); entry != nullptr; entry = entry->pNext)
            result.push_back(EntryView{entry->nKey, entry->pfnCallback != nullptr});
        return result;
    }

    int ticksA = 0;
    int ticksB = 0;
    int ticksC = 0;
    int* external = nullptr;

private:
    int* m_destroyed;
};

inline ::std::ostream& operator<<(::std::ostream& out, const TimerOwner::EntryView& view)
{
    return out << "{" << view.key << (view.running ? ", running}" : ", idle}");
}
