// The engine's serial link: opening and closing the port, writes, the modem
// lines, and the port reader thread that feeds received bytes into the pipe.
#include <algorithm>

#include "engine/telescope_control.h"

namespace {

// After a failed read (the device went away) or a read that returned nothing,
// the reader pauses this long, watching the stop event, instead of spinning.
constexpr uint32_t kReadFailurePauseMs = 200;
constexpr uint32_t kEmptyReadPauseMs = 10;
// Room in the pipe that port data never takes, so the user's commands and the
// heartbeat always fit however fast a device sends.
constexpr int kPipeRoomForOthers = 1024;
// How long the reader waits, watching the stop event, for the engine to make
// room; meanwhile the device's bytes wait in the driver's queue.
constexpr uint32_t kPipeFullPauseMs = 5;

}  // namespace

bool TelescopeControl::openPort(unsigned port)
{
    // A shutdown ends an open that waits (for a name, a connection) at once.
    portHandle = platform::serialOpen(port, stopEvent);
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
    // The reader never waits on the pipe, so it sees the stop within one
    // wait of its own.
    if (readerThread != nullptr && platform::waitThread(readerThread, kReaderEndWaitMs)) {
        platform::closeThread(readerThread);
        readerThread = nullptr;
    }
    // A reader that has not ended keeps readerThread; the next connect waits
    // for it before it resets stopEvent. The device is closed all the same,
    // so it is free for this program and others.
    if (portOpen && portHandle != nullptr) {
        platform::serialPurge(portHandle);
        platform::serialClose(portHandle);
        portHandle = nullptr;
    }
    mountReady = false;
    portOpen = false;
}

void TelescopeControl::discardInput()
{
    if (portHandle != nullptr)
        platform::serialPurge(portHandle);
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

bool TelescopeControl::forwardPortData(const uint8_t* bytes, int count)
{
    while (count > 0) {
        const int chunk = std::min(count, kMaxEnginePayload);
        uint8_t message[kMaxEngineMessage];
        message[0] = messageHeader(MessagePortData, chunk);
        std::copy(bytes, bytes + chunk, message + 1);
        // Only the engine takes bytes out, so room seen under the lock stays:
        // the write cannot block, and the reader never holds pipeLock long.
        for (;;) {
            pipeLock.enter();
            const int waiting = platform::pipeAvailable(pipeRead);
            const bool room =
                waiting >= 0 && static_cast<int>(kPipeCapacity) - waiting >= chunk + 1 + kPipeRoomForOthers;
            if (room)
                platform::pipeWrite(pipeWrite, message, static_cast<uint32_t>(chunk + 1));
            pipeLock.leave();
            if (room)
                break;
            if (platform::waitEvent(stopEvent, kPipeFullPauseMs) == platform::WaitFirst)
                return false;
        }
        bytes += chunk;
        count -= chunk;
    }
    return true;
}

void TelescopeControl::forwardPortFailure()
{
    const uint8_t message[2] = {messageHeader(MessagePortFailed, 0), 0x00};
    pipeLock.enter();
    const int waiting = platform::pipeAvailable(pipeRead);
    if (waiting >= 0 && static_cast<int>(kPipeCapacity) - waiting >= 2 + kPipeRoomForOthers)
        platform::pipeWrite(pipeWrite, message, 2);
    pipeLock.leave();
}

uint32_t TelescopeControl::readerThreadBody(void* argument)
{
    TelescopeControl* control = static_cast<TelescopeControl*>(argument);
    platform::SerialRead* read = platform::serialReadCreate(control->portHandle);
    bool pending = false;
    // Told once for a run of failures; a read that delivers again ends it.
    bool toldFailure = false;
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
                if (received == 0)
                    pauseMs = kEmptyReadPauseMs;
                else if (!control->forwardPortData(platform::serialReadData(read), static_cast<int>(received)))
                    break;
                continue;
            }
            pending = true;
        }
        const platform::WaitResult waited = platform::serialReadWait(read, control->stopEvent, kReaderWaitMs);
        if (waited == platform::WaitSecond)
            break;
        if (waited == platform::WaitFirst) {
            pending = false;
            if (!platform::serialReadResult(read, &received)) {
                pauseMs = kReadFailurePauseMs;  // the device failed; try again later
                if (!toldFailure)
                    control->forwardPortFailure();
                toldFailure = true;
            } else if (received == 0) {
                pauseMs = kEmptyReadPauseMs;
            } else {
                toldFailure = false;
                if (!control->forwardPortData(platform::serialReadData(read), static_cast<int>(received)))
                    break;
            }
        } else if (waited == platform::WaitFailed) {
            pauseMs = kReadFailurePauseMs;
        }
    }
    // Cancels a read still pending before its buffer goes.
    platform::serialReadDestroy(read);
    return 0;
}
