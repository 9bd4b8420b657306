#include "app/heartbeat_timer.h"

HeartBeatTimer::HeartBeatTimer()
    : heartbeatThreadId(0), heartbeatThread(nullptr), shutdownEvent(nullptr), heartBeatListener(nullptr)
{
    listenerLock.init();
}

void HeartBeatTimer::setListener(iHeartBeatListener* listener)
{
    listenerLock.enter();
    heartBeatListener = listener;
    listenerLock.leave();
}

void HeartBeatTimer::clearListener()
{
    // The listener runs with the lock held, so taking it waits out a tick.
    listenerLock.enter();
    heartBeatListener = nullptr;
    listenerLock.leave();
}

platform::Thread* HeartBeatTimer::startThread()
{
    shutdownEvent = platform::createEvent(true, false);
    // Without its event the thread could not be told to end.
    if (shutdownEvent == nullptr)
        return nullptr;
    heartbeatThread = platform::startThread(&HeartBeatTimer::runLoop, this, &heartbeatThreadId);
    return heartbeatThread;
}

bool HeartBeatTimer::stopThread()
{
    if (shutdownEvent != nullptr)
        platform::setEvent(shutdownEvent);
    if (heartbeatThread != nullptr && !threadEnded_)
        threadEnded_ = platform::waitThread(heartbeatThread, kStopWaitMs);
    return heartbeatThread == nullptr || threadEnded_;
}

void HeartBeatTimer::releaseLock()
{
    // The thread takes the lock at every tick: it must be gone first.
    if (heartbeatThread != nullptr && !threadEnded_)
        return;
    listenerLock.destroy();
    platform::closeEvent(shutdownEvent);
    shutdownEvent = nullptr;
    if (heartbeatThread == nullptr)
        return;
    platform::closeThread(heartbeatThread);
    heartbeatThread = nullptr;
}

uint32_t HeartBeatTimer::runLoop(void* argument)
{
    HeartBeatTimer* timer = static_cast<HeartBeatTimer*>(argument);
    for (;;) {
        const platform::WaitResult waited = platform::waitEvent(timer->shutdownEvent, kPeriodMs);
        if (waited == platform::WaitFirst)
            return 0;
        if (waited == platform::WaitFailed) {
            // No event to wait on: still tick, but never faster than the period.
            platform::sleepMilliseconds(kFailedWaitPauseMs);
        }
        timer->listenerLock.enter();
        if (timer->heartBeatListener != nullptr)
            timer->heartBeatListener->onHeartBeat();
        timer->listenerLock.leave();
    }
}
