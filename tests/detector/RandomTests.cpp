// The module's generator: the runtime's sequence, shared by every thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "Random.h"
#include "ReferenceRandom.h"

namespace {

TEST(Random, FollowsTheRuntimeSequence)
{
    // The first numbers of the C runtime's rand after srand(1).
    const int32_t expected[] = {41, 18467, 6334, 26500, 19169, 15724};
    for (int round = 0; round < 2; ++round) {
        SeedRandom(1);
        for (int32_t value : expected)
            EXPECT_EQ(DrawRandom(), value);
    }
}

TEST(Random, ThreadsDrawEachStepOfOneSequenceOnce)
{
    const int kPerThread = 200000;
    SeedRandom(4242);
    std::atomic<int> ready{0};
    std::vector<int32_t> drawn[2];
    auto drawMany = [&](std::vector<int32_t>* out) {
        out->reserve(kPerThread);
        // Both start together, so that their draws interleave.
        ++ready;
        while (ready.load() < 2) {
        }
        for (int i = 0; i < kPerThread; ++i)
            out->push_back(DrawRandom());
    };
    std::thread first(drawMany, &drawn[0]);
    std::thread second(drawMany, &drawn[1]);
    first.join();
    second.join();

    // A lost update would repeat one step and skip another.
    std::vector<int32_t> all(drawn[0]);
    all.insert(all.end(), drawn[1].begin(), drawn[1].end());
    ReferenceRandom reference(4242);
    std::vector<int32_t> expected;
    for (int i = 0; i < 2 * kPerThread; ++i)
        expected.push_back(reference.Next());
    std::sort(all.begin(), all.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(all == expected);
}

}  // namespace
