// The engine's byte pipe on POSIX (Linux): a kernel pipe with room to spare,
// and a writer that waits while the requested capacity is taken. The kernel
// counts room in whole pages, and a page is free again only once all of it has
// been read; cut down to one page, a pipe holding a few bytes could make a
// writer wait. Four pages always hold `capacity` bytes plus one more write.
#include "platform/platform.h"

#include <atomic>
#include <cerrno>

#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr int kKernelPagesPerCapacity = 4;
// A writer that missed a wake-up still looks again this often.
constexpr int kRoomRecheckMs = 100;

// What both ends share; the last end closed frees it.
struct PipeShared {
    int readFd;
    int writeFd;
    int roomFd;  // eventfd: the reader took bytes while a writer waited
    uint32_t capacity;
    std::atomic<int> waitingWriters{0};
    std::atomic<int> ends{2};
};

int waitingBytes(const PipeShared* shared)
{
    int waiting = 0;
    if (ioctl(shared->readFd, FIONREAD, &waiting) != 0)
        return -1;
    return waiting;
}

// Waits while the pipe holds too much for `count` more bytes; false when the
// read end has gone.
bool waitForRoom(PipeShared* shared, uint32_t count)
{
    if (shared->capacity == 0 || count > shared->capacity)
        return true;
    shared->waitingWriters.fetch_add(1);
    bool ok = true;
    for (;;) {
        const int waiting = waitingBytes(shared);
        if (waiting < 0) {
            ok = false;
            break;
        }
        if (static_cast<uint32_t>(waiting) + count <= shared->capacity)
            break;
        pollfd room[2] = {{shared->roomFd, POLLIN, 0}, {shared->writeFd, 0, 0}};
        poll(room, 2, kRoomRecheckMs);
        if (room[1].revents & POLLERR) {  // no reader any more
            ok = false;
            break;
        }
        uint64_t signals;
        if (room[0].revents & POLLIN)
            (void)!read(shared->roomFd, &signals, sizeof signals);
    }
    shared->waitingWriters.fetch_sub(1);
    return ok;
}

}  // namespace

struct PipeEnd {
    PipeShared* shared;
    bool reading;
};

bool createPipe(PipeEnd** readEnd, PipeEnd** writeEnd, uint32_t capacity)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    const int roomFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (roomFd < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (capacity > 0)
        fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(capacity) * kKernelPagesPerCapacity);
    PipeShared* shared = new PipeShared;
    shared->readFd = fds[0];
    shared->writeFd = fds[1];
    shared->roomFd = roomFd;
    shared->capacity = capacity;
    *readEnd = new PipeEnd{shared, true};
    *writeEnd = new PipeEnd{shared, false};
    return true;
}

int pipeAvailable(PipeEnd* readEnd)
{
    if (!readEnd || readEnd->shared->readFd < 0)
        return -1;
    return waitingBytes(readEnd->shared);
}

WaitResult pipeWaitReadable(PipeEnd* readEnd, uint32_t milliseconds)
{
    if (!readEnd || readEnd->shared->readFd < 0)
        return WaitFailed;
    const uint64_t start = nowMilliseconds();
    for (;;) {
        pollfd readable = {readEnd->shared->readFd, POLLIN, 0};
        const int ready = poll(&readable, 1, static_cast<int>(milliseconds));
        if (ready < 0 && errno == EINTR) {
            const uint64_t elapsed = nowMilliseconds() - start;
            if (elapsed >= milliseconds)
                return WaitTimeout;
            milliseconds -= static_cast<uint32_t>(elapsed);
            continue;
        }
        if (ready < 0 || (readable.revents & POLLNVAL))
            return WaitFailed;
        if (ready == 0)
            return WaitTimeout;
        // POLLHUP alone: no writer left and nothing to read.
        return (readable.revents & POLLIN) ? WaitFirst : WaitFailed;
    }
}

uint32_t pipeRead(PipeEnd* readEnd, uint8_t* buffer, uint32_t count)
{
    if (!readEnd || count == 0 || readEnd->shared->readFd < 0)
        return 0;
    PipeShared* shared = readEnd->shared;
    for (;;) {
        ssize_t n = read(shared->readFd, buffer, count);
        if (n >= 0) {
            if (n > 0 && shared->waitingWriters.load() > 0) {
                const uint64_t one = 1;
                (void)!write(shared->roomFd, &one, sizeof one);
            }
            return static_cast<uint32_t>(n);
        }
        if (errno != EINTR)
            return 0;
    }
}

bool pipeWrite(PipeEnd* writeEnd, const uint8_t* bytes, uint32_t count)
{
    if (!writeEnd || writeEnd->shared->writeFd < 0)
        return false;
    PipeShared* shared = writeEnd->shared;
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
        if (!waitForRoom(shared, count - written)) {
            ok = false;
            break;
        }
        ssize_t n = write(shared->writeFd, bytes + written, count - written);
        if (n < 0) {
            if (errno == EINTR)
                continue;
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

void closePipeEnd(PipeEnd* end)
{
    if (!end)
        return;
    PipeShared* shared = end->shared;
    int& fd = end->reading ? shared->readFd : shared->writeFd;
    close(fd);
    fd = -1;
    if (shared->ends.fetch_sub(1) == 1) {
        close(shared->roomFd);
        delete shared;
    }
    delete end;
}

}  // namespace platform
