// The per-source token buckets of lrdresponder, on a clock the test drives.
#include <gtest/gtest.h>

#include "RateLimiter.h"

using namespace lrdresponder;

namespace {

constexpr uint64_t kSecond = 1000000000;
constexpr uint64_t kStart = 1000 * kSecond;

// Requests from `source` every `stepNs` from `from` on, `count` of them: how many pass.
unsigned Allowed(RateLimiter& limiter, uint32_t source, uint64_t from, uint64_t stepNs, unsigned count)
{
    unsigned allowed = 0;
    for (unsigned i = 0; i < count; ++i)
        allowed += limiter.Allow(source, from + i * stepNs);
    return allowed;
}

}  // namespace

TEST(RateLimiter, ABurstThenTheRateThenFullAgainAfterAQuietSpell)
{
    RateLimiter limiter(100, 200, 12345);
    EXPECT_EQ(Allowed(limiter, 7, kStart, 0, 201), 200u);
    EXPECT_EQ(Allowed(limiter, 8, kStart, 0, 201), 200u) << "every source has a bucket of its own";
    EXPECT_FALSE(limiter.Allow(7, kStart + kSecond / 100 - 1));
    EXPECT_TRUE(limiter.Allow(7, kStart + kSecond / 100));
    EXPECT_FALSE(limiter.Allow(7, kStart + kSecond / 100));
    EXPECT_EQ(Allowed(limiter, 7, kStart + 10 * kSecond, 0, 201), 200u);
}

// A source sending 10 000 requests a second for three seconds gets the burst and
// the rate, whatever the rate; without a limit it gets everything.
TEST(RateLimiter, AFloodGetsTheBurstAndTheRate)
{
    struct Case {
        uint32_t rate, burst;
        unsigned expected;
    };
    const Case cases[] = {{100, 200, 200 + 300}, {1, 1, 1 + 3}, {1000, 50, 50 + 3000}, {3, 7, 7 + 9},
                          {1000000, 1, 30000}, {0, 0, 30000}};
    for (const Case& c : cases) {
        RateLimiter limiter(c.rate, c.burst, 99);
        unsigned allowed = Allowed(limiter, 0x0A000001, kStart, kSecond / 10000, 30000);
        EXPECT_LE(allowed, c.expected) << c.rate << "/" << c.burst;
        EXPECT_GE(allowed + 1, c.expected) << c.rate << "/" << c.burst;
    }
}

// Far more sources than the table holds, each asking a few times, while one
// source floods: every newcomer is answered, and the flooding source keeps its
// bucket, so it stays limited.
TEST(RateLimiter, ManySourcesNeitherGrowTheTableNorFreeAFlooder)
{
    RateLimiter limiter(100, 200, 4242);
    constexpr uint32_t kFlooder = 0xC0000201;
    unsigned flooderAllowed = 0, newcomersRefused = 0;
    constexpr unsigned kNewcomers = 40 * RateLimiter::kSets * RateLimiter::kWays;
    for (unsigned i = 0; i < kNewcomers; ++i) {
        uint64_t now = kStart + uint64_t(i) * kSecond / kNewcomers;  // all within one second
        newcomersRefused += !limiter.Allow(0x0B000000 + i, now);
        flooderAllowed += limiter.Allow(kFlooder, now);
    }
    EXPECT_EQ(newcomersRefused, 0u);
    EXPECT_LE(flooderAllowed, 200u + 100u);
}
