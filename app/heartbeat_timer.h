// One background thread that calls its listener about once a second; the
// engine counts these ticks to time out a handshake.
#pragma once

#include <cstdint>

#include "app/interfaces.h"
#include "platform/platform.h"

class HeartBeatTimer {
public:
    static constexpr uint32_t kPeriodMs = 1000;
    static constexpr uint32_t kStopWaitMs = 6000;
    // After a failed wait the loop pauses this long instead of spinning.
    static constexpr uint32_t kFailedWaitPauseMs = 1000;

    HeartBeatTimer();

    void setListener(iHeartBeatListener* listener);
    // Returns only once no call of the listener runs and none will start.
    void clearListener();
    // Null when its event or its thread could not be created.
    platform::Thread* startThread();
    // Signals the thread to end and waits for it at most kStopWaitMs; true
    // when no heartbeat thread runs any more.
    bool stopThread();
    // Once no heartbeat thread runs: deletes the listener lock, the thread's
    // handle and its event. A thread still running keeps all three.
    void releaseLock();

    platform::Lock listenerLock;
    uint32_t heartbeatThreadId;
    platform::Thread* heartbeatThread;
    platform::Event* shutdownEvent;
    iHeartBeatListener* heartBeatListener;

private:
    static uint32_t runLoop(void* timer);

    bool threadEnded_ = false;
};
