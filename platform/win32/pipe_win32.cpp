// The engine's byte pipe on Win32: an anonymous pipe, and an auto-reset event
// that every write signals, since an anonymous pipe cannot be waited on.
#include "platform/platform.h"

#include <windows.h>

#include <atomic>

namespace platform {

namespace {

// What both ends share; the last end closed frees it.
struct PipeShared {
    HANDLE read;
    HANDLE write;
    HANDLE arrived;  // auto reset: set after each write
    std::atomic<int> ends{2};
};

int waitingBytes(HANDLE read)
{
    DWORD waiting = 0;
    if (!PeekNamedPipe(read, nullptr, 0, nullptr, &waiting, nullptr))
        return -1;
    return static_cast<int>(waiting);
}

}  // namespace

struct PipeEnd {
    PipeShared* shared;
    bool reading;
};

bool createPipe(PipeEnd** readEnd, PipeEnd** writeEnd, uint32_t capacity)
{
    HANDLE readHandle = nullptr;
    HANDLE writeHandle = nullptr;
    if (!CreatePipe(&readHandle, &writeHandle, nullptr, capacity))
        return false;
    HANDLE arrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!arrived) {
        CloseHandle(readHandle);
        CloseHandle(writeHandle);
        return false;
    }
    PipeShared* shared = new PipeShared;
    shared->read = readHandle;
    shared->write = writeHandle;
    shared->arrived = arrived;
    *readEnd = new PipeEnd{shared, true};
    *writeEnd = new PipeEnd{shared, false};
    return true;
}

int pipeAvailable(PipeEnd* readEnd)
{
    if (!readEnd || !readEnd->shared->read)
        return -1;
    return waitingBytes(readEnd->shared->read);
}

WaitResult pipeWaitReadable(PipeEnd* readEnd, uint32_t milliseconds)
{
    if (!readEnd || !readEnd->shared->read)
        return WaitFailed;
    PipeShared* shared = readEnd->shared;
    // A write that came before this wait has left the event set.
    int waiting = waitingBytes(shared->read);
    if (waiting < 0)
        return WaitFailed;
    if (waiting > 0)
        return WaitFirst;
    const DWORD result = WaitForSingleObject(shared->arrived, milliseconds);
    if (result == WAIT_FAILED)
        return WaitFailed;
    waiting = waitingBytes(shared->read);
    if (waiting < 0)
        return WaitFailed;
    return waiting > 0 ? WaitFirst : WaitTimeout;
}

uint32_t pipeRead(PipeEnd* readEnd, uint8_t* buffer, uint32_t count)
{
    if (!readEnd || count == 0 || !readEnd->shared->read)
        return 0;
    DWORD delivered = 0;
    if (!ReadFile(readEnd->shared->read, buffer, count, &delivered, nullptr))
        return 0;
    return delivered;
}

bool pipeWrite(PipeEnd* writeEnd, const uint8_t* bytes, uint32_t count)
{
    if (!writeEnd || !writeEnd->shared->write)
        return false;
    PipeShared* shared = writeEnd->shared;
    uint32_t written = 0;
    while (written < count) {
        DWORD n = 0;
        if (!WriteFile(shared->write, bytes + written, count - written, &n, nullptr) || n == 0) {
            return false;
        }
        written += n;
        SetEvent(shared->arrived);
    }
    return true;
}

void closePipeEnd(PipeEnd* end)
{
    if (!end)
        return;
    PipeShared* shared = end->shared;
    HANDLE& handle = end->reading ? shared->read : shared->write;
    CloseHandle(handle);
    handle = nullptr;
    if (shared->ends.fetch_sub(1) == 1) {
        CloseHandle(shared->arrived);
        delete shared;
    }
    delete end;
}

}  // namespace platform
