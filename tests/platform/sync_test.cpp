// Locks, events, threads and the clock, as the engine and the heartbeat use
// them across threads.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace platform;

namespace {

// ---- Lock -------------------------------------------------------------------

struct Counter {
    Lock lock;
    long value = 0;  // deliberately not atomic: the lock is what guards it
};

constexpr int kIncrements = 100000;

uint32_t incrementUnderLock(void* argument)
{
    Counter* counter = static_cast<Counter*>(argument);
    for (int i = 0; i < kIncrements; ++i) {
        LockHold hold(counter->lock);
        counter->value = counter->value + 1;
    }
    return 0;
}

TEST(Lock, KeepsConcurrentIncrementsWhole)
{
    Counter counter;
    counter.lock.init();
    Thread* a = startThread(incrementUnderLock, &counter, nullptr);
    Thread* b = startThread(incrementUnderLock, &counter, nullptr);
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(waitThread(a, 30000));
    EXPECT_TRUE(waitThread(b, 30000));
    closeThread(a);
    closeThread(b);
    counter.lock.enter();
    EXPECT_EQ(counter.value, 2L * kIncrements);
    counter.lock.leave();
    counter.lock.destroy();
}

// ---- Events -----------------------------------------------------------------

TEST(Event, ManualResetStaysSetUntilReset)
{
    Event* event = createEvent(true, false);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(waitEvent(event, 0), WaitTimeout);
    setEvent(event);
    EXPECT_EQ(waitEvent(event, 0), WaitFirst);
    EXPECT_EQ(waitEvent(event, 0), WaitFirst);
    resetEvent(event);
    EXPECT_EQ(waitEvent(event, 0), WaitTimeout);
    closeEvent(event);
}

TEST(Event, InitiallySetAndRepeatedSetsCollapse)
{
    Event* manual = createEvent(true, true);
    Event* automatic = createEvent(false, true);
    EXPECT_EQ(waitEvent(manual, 0), WaitFirst);
    EXPECT_EQ(waitEvent(automatic, 0), WaitFirst);
    EXPECT_EQ(waitEvent(automatic, 0), WaitTimeout);
    // Setting a set event does not queue a second signal.
    setEvent(automatic);
    setEvent(automatic);
    EXPECT_EQ(waitEvent(automatic, 0), WaitFirst);
    EXPECT_EQ(waitEvent(automatic, 0), WaitTimeout);
    // A reset of an event that is not set changes nothing.
    resetEvent(automatic);
    EXPECT_EQ(waitEvent(automatic, 0), WaitTimeout);
    closeEvent(manual);
    closeEvent(automatic);
}

TEST(Event, AutoResetIsConsumedByTheWaitThatSeesIt)
{
    Event* event = createEvent(false, false);
    setEvent(event);
    EXPECT_EQ(waitEvent(event, 0), WaitFirst);
    EXPECT_EQ(waitEvent(event, 0), WaitTimeout);
    setEvent(event);
    resetEvent(event);
    EXPECT_EQ(waitEvent(event, 0), WaitTimeout);
    closeEvent(event);
}

struct Waiters {
    Event* event;
    Event* passed;  // auto reset, set by each waiter that got through
    std::atomic<int> through{0};
    std::atomic<int> timedOut{0};
};

uint32_t waitOnce(void* argument)
{
    Waiters* waiters = static_cast<Waiters*>(argument);
    if (waitEvent(waiters->event, 20000) == WaitFirst) {
        ++waiters->through;
        setEvent(waiters->passed);
    } else {
        ++waiters->timedOut;
    }
    return 0;
}

TEST(Event, EachAutoResetSignalReleasesExactlyOneWaiter)
{
    Waiters waiters;
    waiters.event = createEvent(false, false);
    waiters.passed = createEvent(false, false);
    constexpr int kWaiters = 3;
    Thread* threads[kWaiters];
    for (Thread*& thread : threads) {
        thread = startThread(waitOnce, &waiters, nullptr);
        ASSERT_NE(thread, nullptr);
    }
    for (int signal = 1; signal <= kWaiters; ++signal) {
        setEvent(waiters.event);
        ASSERT_EQ(waitEvent(waiters.passed, 10000), WaitFirst) << "signal " << signal;
        // Nobody else may get through on the same signal.
        EXPECT_EQ(waitEvent(waiters.passed, 100), WaitTimeout) << "signal " << signal;
        EXPECT_EQ(waiters.through.load(), signal);
    }
    for (Thread* thread : threads) {
        EXPECT_TRUE(waitThread(thread, 10000));
        closeThread(thread);
    }
    EXPECT_EQ(waiters.timedOut.load(), 0);
    closeEvent(waiters.event);
    closeEvent(waiters.passed);
}

TEST(Event, WaitEitherReportsWhichAndFirstWinsWhenBothAreSet)
{
    Event* first = createEvent(true, false);
    Event* second = createEvent(true, false);
    EXPECT_EQ(waitEitherEvent(first, second, 0), WaitTimeout);
    setEvent(second);
    EXPECT_EQ(waitEitherEvent(first, second, 0), WaitSecond);
    setEvent(first);
    EXPECT_EQ(waitEitherEvent(first, second, 0), WaitFirst);
    resetEvent(first);
    EXPECT_EQ(waitEitherEvent(first, second, 0), WaitSecond);
    closeEvent(first);
    closeEvent(second);
}

TEST(Event, WaitEitherConsumesOnlyTheAutoResetEventItReports)
{
    Event* first = createEvent(false, true);
    Event* second = createEvent(false, true);
    EXPECT_EQ(waitEitherEvent(first, second, 0), WaitFirst);
    EXPECT_EQ(waitEitherEvent(first, second, 0), WaitSecond);
    EXPECT_EQ(waitEitherEvent(first, second, 0), WaitTimeout);
    closeEvent(first);
    closeEvent(second);
}

uint32_t setAfterShortPause(void* argument)
{
    sleepMilliseconds(30);
    setEvent(static_cast<Event*>(argument));
    return 0;
}

TEST(Event, SetFromAnotherThreadWakesTheWaiter)
{
    for (bool manualReset : {true, false}) {
        Event* other = createEvent(true, false);
        Event* event = createEvent(manualReset, false);
        Thread* setter = startThread(setAfterShortPause, event, nullptr);
        uint64_t start = nowMilliseconds();
        EXPECT_EQ(waitEitherEvent(other, event, 20000), WaitSecond) << "manual " << manualReset;
        EXPECT_LT(nowMilliseconds() - start, 10000u);
        EXPECT_TRUE(waitThread(setter, 10000));
        closeThread(setter);
        closeEvent(event);
        closeEvent(other);
    }
}

TEST(Event, TimeOutLastsAboutTheTimeAsked)
{
    Event* first = createEvent(false, false);
    Event* second = createEvent(true, false);
    uint64_t start = nowMilliseconds();
    EXPECT_EQ(waitEvent(first, 150), WaitTimeout);
    uint64_t elapsed = nowMilliseconds() - start;
    EXPECT_GE(elapsed, 130u);
    EXPECT_LT(elapsed, 5000u);

    start = nowMilliseconds();
    EXPECT_EQ(waitEitherEvent(first, second, 150), WaitTimeout);
    elapsed = nowMilliseconds() - start;
    EXPECT_GE(elapsed, 130u);
    EXPECT_LT(elapsed, 5000u);
    closeEvent(first);
    closeEvent(second);
}

TEST(Event, MissingEventFailsAtOnce)
{
    Event* event = createEvent(true, true);
    uint64_t start = nowMilliseconds();
    EXPECT_EQ(waitEvent(nullptr, 10000), WaitFailed);
    EXPECT_EQ(waitEitherEvent(nullptr, event, 10000), WaitFailed);
    EXPECT_EQ(waitEitherEvent(event, nullptr, 10000), WaitFailed);
    EXPECT_LT(nowMilliseconds() - start, 2000u);
    // Null is harmless everywhere else too.
    setEvent(nullptr);
    resetEvent(nullptr);
    closeEvent(nullptr);
    closeEvent(event);
}

// ---- Threads ----------------------------------------------------------------

struct Gate {
    Event* open;
    Event* finished;
    void* seenArgument = nullptr;
};

uint32_t waitAtGate(void* argument)
{
    Gate* gate = static_cast<Gate*>(argument);
    gate->seenArgument = argument;
    waitEvent(gate->open, 20000);
    setEvent(gate->finished);
    return 7;
}

TEST(Thread, WaitReportsWhetherTheThreadHasEnded)
{
    Gate gate{createEvent(true, false), createEvent(true, false)};
    uint32_t id = 0;
    Thread* thread = startThread(waitAtGate, &gate, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_FALSE(waitThread(thread, 0));
    EXPECT_FALSE(waitThread(thread, 50));
    setEvent(gate.open);
    EXPECT_TRUE(waitThread(thread, 10000));
    EXPECT_TRUE(waitThread(thread, 0)) << "an ended thread stays ended";
    EXPECT_EQ(gate.seenArgument, &gate);
    closeThread(thread);
    closeEvent(gate.open);
    closeEvent(gate.finished);
}

TEST(Thread, EachThreadGetsItsOwnId)
{
    Event* open = createEvent(true, true);
    Gate firstGate{open, createEvent(true, false)};
    Gate secondGate{open, createEvent(true, false)};
    uint32_t firstId = 0, secondId = 0;
    Thread* first = startThread(waitAtGate, &firstGate, &firstId);
    Thread* second = startThread(waitAtGate, &secondGate, &secondId);
    EXPECT_NE(firstId, secondId);
    EXPECT_TRUE(waitThread(first, 10000));
    EXPECT_TRUE(waitThread(second, 10000));
    closeThread(first);
    closeThread(second);
    closeEvent(open);
    closeEvent(firstGate.finished);
    closeEvent(secondGate.finished);
}

struct Flag {
    Lock lock;
    Event* open;
    bool finished = false;
};

uint32_t raiseFlagAfterGate(void* argument)
{
    Flag* flag = static_cast<Flag*>(argument);
    waitEvent(flag->open, 20000);
    LockHold hold(flag->lock);
    flag->finished = true;
    return 0;
}

TEST(Thread, ClosedWhileRunningTheThreadRunsToItsEnd)
{
    // Kept for the whole run: the body may still be leaving the lock when
    // the test ends.
    static Flag& flag = *[] {
        Flag* kept = new Flag;
        kept->lock.init();
        return kept;
    }();
    {
        LockHold hold(flag.lock);
        flag.finished = false;
    }
    flag.open = createEvent(true, false);
    Thread* thread = startThread(raiseFlagAfterGate, &flag, nullptr);
    ASSERT_NE(thread, nullptr);
    closeThread(thread);
    setEvent(flag.open);
    // A closed thread cannot be waited for; watch its flag instead.
    bool finished = false;
    for (uint64_t start = nowMilliseconds(); !finished && nowMilliseconds() - start < 10000;) {
        sleepMilliseconds(1);
        LockHold hold(flag.lock);
        finished = flag.finished;
    }
    EXPECT_TRUE(finished);
    closeEvent(flag.open);  // the body was done with it before it raised the flag
}

// ---- Time -------------------------------------------------------------------

TEST(Clock, SleepAdvancesTheMonotonicClock)
{
    uint64_t start = nowMilliseconds();
    sleepMilliseconds(60);
    uint64_t end = nowMilliseconds();
    EXPECT_GE(end - start, 45u);
    EXPECT_LT(end - start, 5000u);
    EXPECT_GE(nowMilliseconds(), end);
}

}  // namespace
