// The engine's byte pipe on Win32: an anonymous pipe. PipeEnd pointers are
// the pipe handles themselves.
#include "platform/platform.h"

#include <windows.h>

namespace platform {

static HANDLE handleOf(PipeEnd* end) { return reinterpret_cast<HANDLE>(end); }

bool createPipe(PipeEnd** readEnd, PipeEnd** writeEnd, uint32_t capacity) {
    HANDLE readHandle = nullptr;
    HANDLE writeHandle = nullptr;
    if (!CreatePipe(&readHandle, &writeHandle, nullptr, capacity)) return false;
    *readEnd = reinterpret_cast<PipeEnd*>(readHandle);
    *writeEnd = reinterpret_cast<PipeEnd*>(writeHandle);
    return true;
}

int pipeAvailable(PipeEnd* readEnd) {
    if (!readEnd) return -1;
    DWORD waiting = 0;
    if (!PeekNamedPipe(handleOf(readEnd), nullptr, 0, nullptr, &waiting, nullptr)) return -1;
    return static_cast<int>(waiting);
}

uint32_t pipeRead(PipeEnd* readEnd, uint8_t* buffer, uint32_t count) {
    if (!readEnd || count == 0) return 0;
    DWORD delivered = 0;
    if (!ReadFile(handleOf(readEnd), buffer, count, &delivered, nullptr)) return 0;
    return delivered;
}

bool pipeWrite(PipeEnd* writeEnd, const uint8_t* bytes, uint32_t count) {
    if (!writeEnd) return false;
    uint32_t written = 0;
    while (written < count) {
        DWORD n = 0;
        if (!WriteFile(handleOf(writeEnd), bytes + written, count - written, &n, nullptr) || n == 0) {
            return false;
        }
        written += n;
    }
    return true;
}

void closePipeEnd(PipeEnd* end) {
    if (end) CloseHandle(handleOf(end));
}

}  // namespace platform
