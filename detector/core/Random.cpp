#include "Random.h"

#include <atomic>

namespace {

std::atomic<uint32_t> g_state{1};

}  // namespace

void SeedRandom(uint32_t seed)
{
    g_state.store(seed, std::memory_order_relaxed);
}

int32_t DrawRandom()
{
    uint32_t current = g_state.load(std::memory_order_relaxed);
    uint32_t next;
    do {
        next = current * 214013u + 2531011u;
    } while (!g_state.compare_exchange_weak(current, next, std::memory_order_relaxed));
    return (int32_t)((next >> 16) & 0x7fff);
}
