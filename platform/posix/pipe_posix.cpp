// The engine's byte pipe on POSIX (Linux): a kernel pipe cut down to the
// requested capacity, so a writer blocks once that much is waiting.
#include "platform/platform.h"

#include <cerrno>

#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace platform {

struct PipeEnd {
    int fd;
};

bool createPipe(PipeEnd** readEnd, PipeEnd** writeEnd, uint32_t capacity) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    // The kernel rounds up to a whole page; 4096 is exactly one.
    if (capacity > 0) fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(capacity));
    *readEnd = new PipeEnd{fds[0]};
    *writeEnd = new PipeEnd{fds[1]};
    return true;
}

int pipeAvailable(PipeEnd* readEnd) {
    if (!readEnd) return -1;
    int waiting = 0;
    if (ioctl(readEnd->fd, FIONREAD, &waiting) != 0) return -1;
    return waiting;
}

uint32_t pipeRead(PipeEnd* readEnd, uint8_t* buffer, uint32_t count) {
    if (!readEnd || count == 0) return 0;
    for (;;) {
        ssize_t n = read(readEnd->fd, buffer, count);
        if (n >= 0) return static_cast<uint32_t>(n);
        if (errno != EINTR) return 0;
    }
}

bool pipeWrite(PipeEnd* writeEnd, const uint8_t* bytes, uint32_t count) {
    if (!writeEnd) return false;
    // A write into a pipe whose reader has gone must fail, not end the
    // process: hold SIGPIPE back on this thread and swallow the one we cause.
    sigset_t pipeSignal, previousMask, pendingBefore;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigpending(&pendingBefore);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask);

    // Up to PIPE_BUF bytes go in whole; larger writes may come in pieces.
    bool ok = true;
    uint32_t written = 0;
    while (written < count) {
        ssize_t n = write(writeEnd->fd, bytes + written, count - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EPIPE && !sigismember(&pendingBefore, SIGPIPE)) {
                const timespec noWait = {0, 0};
                sigtimedwait(&pipeSignal, nullptr, &noWait);
            }
            ok = false;
            break;
        }
        written += static_cast<uint32_t>(n);
    }
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    return ok;
}

void closePipeEnd(PipeEnd* end) {
    if (!end) return;
    close(end->fd);
    delete end;
}

}  // namespace platform
