// The engine's serial link: opening and closing the port, writes, the modem
// lines, and the port reader thread that feeds received bytes into the pipe.
#include <algorithm>

#include "engine/telescope_control.h"

namespace {

// After a failed read (the device went away) or a read that returned nothing,
// the reader pauses this long, watching the stop event, instead of spinning.
constexpr uint32_t kReadFailurePauseMs = 200;
constexpr uint32_t kEmptyReadPauseMs = 10;
// While shutting down, the engine drains the pipe between these waits so a
// reader blocked on a full pipe can still finish its write and see the stop.
constexpr uint32_t kShutdownDrainSliceMs = 20;

}  // namespace

bool TelescopeControl::openPort(unsigned port)
{
    portHandle = platform::serialOpen(port);
    if (portHandle == nullptr)
        return false;
    // What the device refuses here is not detected: an open port counts.
    platform::serialSetLine9600_8N1(portHandle);
    platform::serialSetReadIntervalTimeouts(portHandle);
    platform::serialSetQueueSizes(portHandle, kPortQueueSize, kPortQueueSize);
    platform::serialPurge(portHandle);
    return true;
}

void TelescopeControl::closePort()
{
    platform::setEvent(stopEvent);
    bool readerEnded = true;
    if (readerThread != nullptr) {
        readerEnded = platform::waitThread(readerThread, kReaderEndWaitMs);
        if (readerEnded) {
            platform::closeThread(readerThread);
            readerThread = nullptr;
        }
    }
    if (portOpen && portHandle != nullptr) {
        platform::serialPurge(portHandle);
        // A reader that did not end still uses the port: leave the device to
        // it rather than release it from under a running read.
        if (readerEnded)
            platform::serialClose(portHandle);
        portHandle = nullptr;
    }
    mountReady = false;
    portOpen = false;
}

void TelescopeControl::closePortForShutdown()
{
    platform::setEvent(stopEvent);
    if (readerThread != nullptr) {
        const uint64_t deadline = platform::nowMilliseconds() + kReaderEndWaitMs;
        while (!platform::waitThread(readerThread, kShutdownDrainSliceMs) &&
               platform::nowMilliseconds() < deadline) {
            uint8_t discard[64];
            const int waiting = platform::pipeAvailable(pipeRead);
            if (waiting > 0)
                platform::pipeRead(pipeRead, discard,
                                   static_cast<uint32_t>(std::min<int>(waiting, sizeof discard)));
        }
    }
    closePort();
}

platform::WaitResult TelescopeControl::writePort(const uint8_t* buffer, uint32_t count)
{
    if (portHandle == nullptr)
        return platform::WaitFailed;
    return platform::serialWrite(portHandle, writeEvent, buffer, count, kPortWriteWaitMs);
}

void TelescopeControl::setModemLines(int value)
{
    if (value < 0 || value > 3 || portHandle == nullptr)
        return;
    // Bit 0 is DTR, bit 1 RTS; DTR is always set first.
    platform::serialEscape(portHandle, (value & 1) ? platform::SetDtr : platform::ClearDtr);
    platform::serialEscape(portHandle, (value & 2) ? platform::SetRts : platform::ClearRts);
}

void TelescopeControl::forwardPortData(const uint8_t* bytes, int count)
{
    while (count > 0) {
        const int chunk = std::min(count, kMaxEnginePayload);
        uint8_t message[kMaxEngineMessage];
        message[0] = messageHeader(MessagePortData, chunk);
        std::copy(bytes, bytes + chunk, message + 1);
        writeMessage(message, static_cast<uint32_t>(chunk + 1));
        bytes += chunk;
        count -= chunk;
    }
}

uint32_t TelescopeControl::readerThreadBody(void* argument)
{
    TelescopeControl* control = static_cast<TelescopeControl*>(argument);
    platform::SerialRead* read = platform::serialReadCreate(control->portHandle);
    bool pending = false;
    uint32_t pauseMs = 0;
    for (;;) {
        if (pauseMs > 0) {
            if (platform::waitEvent(control->stopEvent, pauseMs) == platform::WaitFirst)
                break;
            pauseMs = 0;
        }
        uint32_t received = 0;
        if (!pending) {
            if (platform::serialReadStart(read, &received) == platform::ReadCompleted) {
                if (received > 0)
                    control->forwardPortData(platform::serialReadData(read), static_cast<int>(received));
                else
                    pauseMs = kEmptyReadPauseMs;
                continue;
            }
            pending = true;
        }
        const platform::WaitResult waited =
            platform::serialReadWait(read, control->stopEvent, kReaderWaitMs);
        if (waited == platform::WaitSecond)
            break;
        if (waited == platform::WaitFirst) {
            pending = false;
            if (!platform::serialReadResult(read, &received))
                pauseMs = kReadFailurePauseMs;  // the device failed; try again later
            else if (received > 0)
                control->forwardPortData(platform::serialReadData(read), static_cast<int>(received));
            else
                pauseMs = kEmptyReadPauseMs;
        } else if (waited == platform::WaitFailed) {
            pauseMs = kReadFailurePauseMs;
        }
    }
    // Cancels a read still pending before its buffer goes.
    platform::serialReadDestroy(read);
    return 0;
}
