#include "RateLimiter.h"

namespace lrdresponder {

namespace {

// The finalizer of MurmurHash3: every input bit moves every output bit.
uint32_t Mix(uint32_t value)
{
    value ^= value >> 16;
    value *= 0x85EBCA6Bu;
    value ^= value >> 13;
    value *= 0xC2B2AE35u;
    value ^= value >> 16;
    return value;
}

}  // namespace

RateLimiter::RateLimiter(uint32_t rate, uint32_t burst, uint32_t key) : m_key(key)
{
    if (rate == 0)
        return;
    // Rounded up, so that the limit is never exceeded.
    m_intervalNs = (1000000000u + rate - 1) / rate;
    m_toleranceNs = uint64_t(burst > 0 ? burst - 1 : 0) * m_intervalNs;
    m_slots.resize(kWays * kSets);
}

bool RateLimiter::Allow(uint32_t source, uint64_t nowNs)
{
    if (m_slots.empty())
        return true;
    Slot* set = &m_slots[(Mix(source ^ m_key) % kSets) * kWays];
    Slot* slot = nullptr;
    for (size_t i = 0; i < kWays && !slot; ++i)
        if (set[i].address == source && set[i].fullAt > nowNs)
            slot = &set[i];
    if (!slot) {
        // A new source takes the bucket nearest to full: free slots first, else
        // the source that has been the least busy lately. A busy source keeps its
        // bucket, since it holds the fewest tokens of its set.
        slot = &set[0];
        for (size_t i = 1; i < kWays; ++i)
            if (set[i].fullAt < slot->fullAt)
                slot = &set[i];
        *slot = {nowNs, source};
    }
    uint64_t fullAt = slot->fullAt > nowNs ? slot->fullAt : nowNs;
    if (fullAt - nowNs > m_toleranceNs)
        return false;
    slot->fullAt = fullAt + m_intervalNs;
    return true;
}

}  // namespace lrdresponder
