// The heartbeat thread: a tick about every second, the listener called under
// its lock, and a stop that does not wait out a period.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "app/heartbeat_timer.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kWaitMs = 10000;

// Keeps the time of every tick.
class TickRecorder : public iHeartBeatListener {
public:
    void onHeartBeat() override
    {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            ticks_.push_back(platform::nowMilliseconds());
        }
        changed_.notify_all();
    }

    bool waitForTicks(size_t n, uint32_t timeoutMs = kWaitMs)
    {
        std::unique_lock<std::mutex> hold(mutex_);
        return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return ticks_.size() >= n; });
    }

    std::vector<uint64_t> ticks() const
    {
        std::lock_guard<std::mutex> hold(mutex_);
        return ticks_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint64_t> ticks_;
};

// A tick that does not return until the test lets it.
class BlockingListener : public iHeartBeatListener {
public:
    void onHeartBeat() override
    {
        std::unique_lock<std::mutex> hold(mutex_);
        ++calls_;
        changed_.notify_all();
        changed_.wait(hold, [&] { return released_; });
        returnedAt = ++order;
    }

    bool waitForCall(uint32_t timeoutMs = kWaitMs)
    {
        std::unique_lock<std::mutex> hold(mutex_);
        return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return calls_ > 0; });
    }

    void release()
    {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            released_ = true;
        }
        changed_.notify_all();
    }

    int calls()
    {
        std::lock_guard<std::mutex> hold(mutex_);
        return calls_;
    }

    // Shared sequence for ordering this call's return against other events.
    static std::atomic<int> order;
    std::atomic<int> returnedAt{0};

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int calls_ = 0;
    bool released_ = false;
};

std::atomic<int> BlockingListener::order{0};

class HeartBeat : public ::testing::Test {
protected:
    void TearDown() override
    {
        timer.stopThread();
        if (timer.heartbeatThread != nullptr) {
            EXPECT_TRUE(platform::waitThread(timer.heartbeatThread, 0));
        }
        // Releases the thread's handle and event too, now that it has ended.
        timer.releaseLock();
        EXPECT_EQ(timer.heartbeatThread, nullptr);
        EXPECT_EQ(timer.shutdownEvent, nullptr);
    }

    HeartBeatTimer timer;
};

TEST_F(HeartBeat, TicksComeAboutASecondApart)
{
    TickRecorder recorder;
    timer.setListener(&recorder);
    const uint64_t started = platform::nowMilliseconds();
    timer.startThread();
    ASSERT_TRUE(recorder.waitForTicks(3));
    timer.clearListener();
    const std::vector<uint64_t> ticks = recorder.ticks();
    // Generous bounds: the period is 1000 ms plus the listener's time.
    EXPECT_GE(ticks[0] - started, 900u);
    EXPECT_LE(ticks[0] - started, 3000u);
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_GE(ticks[i] - ticks[i - 1], 900u) << i;
        EXPECT_LE(ticks[i] - ticks[i - 1], 3000u) << i;
    }
}

TEST_F(HeartBeat, ClearListenerWaitsForTheRunningTick)
{
    BlockingListener blocking;
    timer.setListener(&blocking);
    timer.startThread();
    if (!blocking.waitForCall()) {
        timer.clearListener();
        FAIL() << "no tick";
    }

    std::atomic<int> clearedAt{0};
    std::thread clearing([&] {
        timer.clearListener();
        clearedAt = ++BlockingListener::order;
    });
    // A bounded look for a return that must not happen while the tick runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(0, clearedAt.load());
    blocking.release();
    clearing.join();
    ASSERT_NE(0, blocking.returnedAt.load());
    EXPECT_LT(blocking.returnedAt.load(), clearedAt.load());

    // Not called again: a new listener gets the next tick instead.
    TickRecorder next;
    timer.setListener(&next);
    ASSERT_TRUE(next.waitForTicks(1));
    timer.clearListener();
    EXPECT_EQ(1, blocking.calls());
}

TEST_F(HeartBeat, ANewListenerGetsTheNextTick)
{
    TickRecorder first, second;
    timer.setListener(&first);
    timer.startThread();
    ASSERT_TRUE(first.waitForTicks(1));
    timer.setListener(&second);
    const size_t firstTicks = first.ticks().size();
    const bool ticked = second.waitForTicks(2);
    timer.clearListener();
    ASSERT_TRUE(ticked);
    EXPECT_EQ(firstTicks, first.ticks().size());
}

TEST_F(HeartBeat, StopDoesNotWaitOutThePeriod)
{
    TickRecorder recorder;
    timer.setListener(&recorder);
    timer.startThread();
    ASSERT_TRUE(recorder.waitForTicks(1));
    const uint64_t asked = platform::nowMilliseconds();
    timer.stopThread();
    EXPECT_LT(platform::nowMilliseconds() - asked, 500u);
    EXPECT_TRUE(platform::waitThread(timer.heartbeatThread, 0));
}

TEST_F(HeartBeat, StopRightAfterStartEndsTheThreadAtOnce)
{
    timer.startThread();
    const uint64_t asked = platform::nowMilliseconds();
    timer.stopThread();
    EXPECT_LT(platform::nowMilliseconds() - asked, 500u);
    EXPECT_TRUE(platform::waitThread(timer.heartbeatThread, 0));
}

TEST_F(HeartBeat, StopWaitsForARunningTickToReturn)
{
    BlockingListener blocking;
    timer.setListener(&blocking);
    timer.startThread();
    ASSERT_TRUE(blocking.waitForCall());
    std::atomic<int> stoppedAt{0};
    std::thread stopping([&] {
        timer.stopThread();
        stoppedAt = ++BlockingListener::order;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(0, stoppedAt.load());
    blocking.release();
    stopping.join();
    EXPECT_LT(blocking.returnedAt.load(), stoppedAt.load());
    EXPECT_TRUE(platform::waitThread(timer.heartbeatThread, 0));
    EXPECT_EQ(1, blocking.calls());
}

}  // namespace
