// The per-source limit on answers: a token bucket for every source address, in a
// table of fixed size, so that neither a flood from one address nor one from
// countless forged addresses can make the responder reflect more than the limit
// to any one address or claim more memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lrdresponder {

class RateLimiter {
public:
    static constexpr size_t kWays = 4;
    static constexpr size_t kSets = 4096;

    // `rate` answers a second on average, up to `burst` at once; `rate` 0 lets
    // everything through. `key` makes the table layout unpredictable from outside.
    RateLimiter(uint32_t rate, uint32_t burst, uint32_t key);

    // Takes one token from the bucket of `source` at `nowNs` (a monotonic time
    // in nanoseconds); false when the bucket is empty.
    bool Allow(uint32_t source, uint64_t nowNs);

private:
    // A bucket is kept as the time at which it is full again: then it holds
    // `burst` tokens, and each token taken moves that time one interval later.
    // A bucket that is full is the same as no bucket, so its slot is free.
    struct Slot {
        uint64_t fullAt = 0;
        uint32_t address = 0;
    };

    uint64_t m_intervalNs = 0;
    uint64_t m_toleranceNs = 0;  // how far fullAt may lie ahead and a token remain
    uint32_t m_key;
    std::vector<Slot> m_slots;
};

}  // namespace lrdresponder
