// Thunks from the pool: each routes a TIMERPROC call to its own context, and a
// returned one routes a late call to a null context.
#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "ThunkPool.h"

namespace {

struct Call {
    void* context;
    UINT message;
    UINT_PTR timerId;
    DWORD time;
};

std::vector<Call> g_calls;

void CALLBACK Record(void* context, UINT message, UINT_PTR timerId, DWORD time)
{
    g_calls.push_back(Call{context, message, timerId, time});
}

const void* RecordAddress() { return reinterpret_cast<const void*>(&Record); }

void Tick(void* thunk, UINT_PTR timerId)
{
    reinterpret_cast<TIMERPROC>(thunk)(nullptr, WM_TIMER, timerId, 1234);
}

TEST(ThunkPool, ThunkPassesItsContextUntilReturned)
{
    g_calls.clear();
    int first = 0, second = 0;
    void* a = AcquireTimerThunk(&first, RecordAddress());
    void* b = AcquireTimerThunk(&second, RecordAddress());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);

    Tick(a, 7);
    Tick(b, 8);
    ReleaseTimerThunk(a);
    Tick(a, 9);  // a late tick of a destroyed service
    ReleaseTimerThunk(b);

    ASSERT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(g_calls[0].context, &first);
    EXPECT_EQ(g_calls[0].message, (UINT)WM_TIMER);
    EXPECT_EQ(g_calls[0].timerId, 7u);
    EXPECT_EQ(g_calls[0].time, 1234u);
    EXPECT_EQ(g_calls[1].context, &second);
    EXPECT_EQ(g_calls[1].timerId, 8u);
    EXPECT_EQ(g_calls[2].context, nullptr);
    EXPECT_EQ(g_calls[2].timerId, 9u);
}

TEST(ThunkPool, GrowsBeyondOnePage)
{
    g_calls.clear();
    const size_t kCount = 600;
    std::vector<int> contexts(kCount);
    std::vector<void*> thunks;
    for (size_t i = 0; i < kCount; ++i) {
        thunks.push_back(AcquireTimerThunk(&contexts[i], RecordAddress()));
        ASSERT_NE(thunks.back(), nullptr);
    }
    for (size_t i = 0; i < kCount; ++i)
        Tick(thunks[i], i + 1);
    ASSERT_EQ(g_calls.size(), kCount);
    for (size_t i = 0; i < kCount; ++i)
        EXPECT_EQ(g_calls[i].context, &contexts[i]) << i;
    for (void* thunk : thunks)
        ReleaseTimerThunk(thunk);
}

}  // namespace
