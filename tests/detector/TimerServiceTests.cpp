// Timer services driven through the thread's message pump: periodic ticks, stop
// and restart from callbacks, entry bookkeeping, and owners that go away.
#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "MessagePump.h"
#include "TimerOwner.h"

namespace {

typedef std::vector<TimerOwner::EntryView> Entries;

const unsigned kDeadline = 5000;
// Long enough for several more ticks of a short timer, had one survived.
const unsigned kQuietSpell = 300;

TEST(TimerService, FiresPeriodicallyUntilStopped)
{
    TimerOwner owner;
    owner.StartTimer(1, 20, &TimerOwner::OnA);
    EXPECT_EQ(owner.Entries(), (Entries{{1, true}}));
    ASSERT_TRUE(PumpUntil([&] { return owner.ticksA >= 3; }, kDeadline));

    owner.StopTimer(1);
    EXPECT_EQ(owner.Entries(), (Entries{{1, false}}));
    int seen = owner.ticksA;
    PumpFor(kQuietSpell);
    EXPECT_EQ(owner.ticksA, seen);
}

TEST(TimerService, CallbackThatStopsItsOwnKeyFiresOnce)
{
    TimerOwner owner;
    owner.StartTimer(1, 10, &TimerOwner::OnStopOwnKey);
    ASSERT_TRUE(PumpUntil([&] { return owner.ticksA >= 1; }, kDeadline));
    PumpFor(kQuietSpell);
    EXPECT_EQ(owner.ticksA, 1);
    EXPECT_EQ(owner.Entries(), (Entries{{1, false}}));
}

TEST(TimerService, RestartReplacesTheCallbackInPlace)
{
    TimerOwner owner;
    owner.StartTimer(1, 10, &TimerOwner::OnA);
    owner.StartTimer(2, 60000, &TimerOwner::OnB);
    ASSERT_TRUE(PumpUntil([&] { return owner.ticksA >= 1; }, kDeadline));

    owner.StartTimer(1, 10, &TimerOwner::OnC);
    int ticksOfOld = owner.ticksA;
    ASSERT_TRUE(PumpUntil([&] { return owner.ticksC >= 3; }, kDeadline));
    EXPECT_EQ(owner.ticksA, ticksOfOld);
    EXPECT_EQ(owner.Entries(), (Entries{{1, true}, {2, true}}));
}

TEST(TimerService, NullCallbackNeitherCreatesNorStops)
{
    TimerOwner owner;
    owner.StartTimer(1, 10, nullptr);
    EXPECT_TRUE(owner.Entries().empty());

    owner.StartTimer(1, 10, &TimerOwner::OnA);
    owner.StartTimer(1, 10, nullptr);
    EXPECT_EQ(owner.Entries(), (Entries{{1, true}}));
    ASSERT_TRUE(PumpUntil([&] { return owner.ticksA >= 2; }, kDeadline));
}

TEST(TimerService, StoppingAnUnknownKeyAppendsOneIdleEntry)
{
    TimerOwner owner;
    owner.StartTimer(1, 10, &TimerOwner::OnA);
    owner.StopTimer(7);
    EXPECT_EQ(owner.Entries(), (Entries{{1, true}, {7, false}}));
    owner.StopTimer(7);
    EXPECT_EQ(owner.Entries(), (Entries{{1, true}, {7, false}}));
    ASSERT_TRUE(PumpUntil([&] { return owner.ticksA >= 1; }, kDeadline)) << "key 1 kept running";

    owner.StartTimer(7, 10, &TimerOwner::OnB);
    EXPECT_EQ(owner.Entries(), (Entries{{1, true}, {7, true}}));
    ASSERT_TRUE(PumpUntil([&] { return owner.ticksB >= 1; }, kDeadline)) << "an idle entry starts again";
}

TEST(TimerService, TwoKeysRunSideBySide)
{
    TimerOwner owner;
    owner.StartTimer(1, 10, &TimerOwner::OnA);
    owner.StartTimer(2, 15, &TimerOwner::OnB);
    ASSERT_TRUE(PumpUntil([&] { return owner.ticksA >= 2 && owner.ticksB >= 2; }, kDeadline));

    owner.StopTimer(1);
    int stoppedAt = owner.ticksA;
    int runningFrom = owner.ticksB;
    ASSERT_TRUE(PumpUntil([&] { return owner.ticksB >= runningFrom + 3; }, kDeadline));
    EXPECT_EQ(owner.ticksA, stoppedAt);
}

TEST(TimerService, TwoOwnersKeepTheirOwnTicks)
{
    TimerOwner first, second;
    first.StartTimer(1, 10, &TimerOwner::OnA);
    second.StartTimer(1, 10, &TimerOwner::OnB);
    ASSERT_TRUE(PumpUntil([&] { return first.ticksA >= 2 && second.ticksB >= 2; }, kDeadline));
    EXPECT_EQ(first.ticksB, 0);
    EXPECT_EQ(second.ticksA, 0);
}

// Dispatches the thread's messages until a timer message comes, which it takes
// from the queue without dispatching it.
bool TakeTimerMessage(MSG* timerMessage)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < kDeadline) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_TIMER) {
                *timerMessage = msg;
                return true;
            }
            DispatchMessageA(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    return false;
}

TEST(TimerService, DestroyedOwnerHearsNothingMore)
{
    int calls = 0, destroyed = 0;
    TimerOwner* owner = new TimerOwner(&destroyed);
    owner->external = &calls;
    owner->StartTimer(1, 10, &TimerOwner::OnDestroyOwner);
    owner->StartTimer(2, 10000, &TimerOwner::OnDestroyOwner);
    // A tick taken from the queue before the owner goes and dispatched after: the
    // system runs the message's timer procedure, which finds no route any more.
    MSG late;
    ASSERT_TRUE(TakeTimerMessage(&late));
    delete owner;
    DispatchMessageA(&late);
    PumpFor(kQuietSpell);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(destroyed, 1);
}

TEST(TimerService, OwnerDestroyedByItsCallbackSurvivesLateTicks)
{
    // Both timers fall due together, so a tick of the second may already wait in
    // the queue when the first destroys the owner. A later owner may reuse the memory.
    for (int round = 0; round < 3; ++round) {
        int calls = 0, destroyed = 0;
        TimerOwner* owner = new TimerOwner(&destroyed);
        owner->external = &calls;
        owner->StartTimer(1, 1, &TimerOwner::OnDestroyOwner);
        owner->StartTimer(2, 1, &TimerOwner::OnDestroyOwner);
        ASSERT_TRUE(PumpUntil([&] { return destroyed == 1; }, kDeadline));

        TimerOwner successor;
        successor.StartTimer(1, 10, &TimerOwner::OnA);
        ASSERT_TRUE(PumpUntil([&] { return successor.ticksA >= 3; }, kDeadline));
        EXPECT_EQ(calls, 1) << "round " << round;
        EXPECT_EQ(destroyed, 1);
    }
}

}  // namespace
