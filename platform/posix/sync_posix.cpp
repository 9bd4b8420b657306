// Locks, events, threads and time on POSIX (Linux): pthreads and eventfd.
#include "platform/platform.h"
#include "platform/posix/event_posix.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <new>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {

// ---- Lock -------------------------------------------------------------------

static pthread_mutex_t* mutexIn(unsigned char* storage)
{
    return reinterpret_cast<pthread_mutex_t*>(storage);
}

void Lock::init()
{
    static_assert(sizeof(pthread_mutex_t) <= sizeof(storage_), "Lock storage too small");
    static_assert(alignof(pthread_mutex_t) <= 16, "Lock storage under-aligned");
    pthread_mutex_init(new (storage_) pthread_mutex_t, nullptr);
}

void Lock::enter()
{
    pthread_mutex_lock(mutexIn(storage_));
}

void Lock::leave()
{
    pthread_mutex_unlock(mutexIn(storage_));
}

void Lock::destroy()
{
    pthread_mutex_destroy(mutexIn(storage_));
}

// ---- Time -------------------------------------------------------------------

uint64_t nowMilliseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void sleepMilliseconds(uint32_t milliseconds)
{
    timespec left;
    left.tv_sec = milliseconds / 1000;
    left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int remainingPollTime(uint64_t start, uint32_t milliseconds)
{
    if (milliseconds == kInfinite)
        return -1;
    uint64_t elapsed = nowMilliseconds() - start;
    if (elapsed >= milliseconds)
        return 0;
    uint64_t left = milliseconds - elapsed;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// ---- Events -----------------------------------------------------------------
// Set means the eventfd counter is non-zero. Setting a set event leaves it set
// once; reading the counter clears it whatever its value.

Event* createEvent(bool manualReset, bool initiallySet)
{
    int fd = eventfd(initiallySet ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0)
        return nullptr;
    return new Event{fd, manualReset, {0}};
}

void setEvent(Event* event)
{
    if (!event)
        return;
    // Nothing of the record is touched after the release: a waiter that has
    // seen the event may close it at once.
    const int fd = event->fd;
    event->sets.fetch_add(1, std::memory_order_release);
    uint64_t one = 1;
    // EAGAIN only when the counter is near overflow, i.e. already set.
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void resetEvent(Event* event)
{
    if (!event)
        return;
    uint64_t count;
    while (read(event->fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

bool consumeSignal(Event* event)
{
    event->sets.load(std::memory_order_acquire);
    if (event->manualReset)
        return true;
    uint64_t count;
    for (;;) {
        if (read(event->fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count))
            return true;
        if (errno != EINTR)
            return false;  // EAGAIN: another waiter was faster
    }
}

// Polls up to two events until one of them is taken. Returns the index of the
// event taken, or WaitTimeout / WaitFailed.
static WaitResult waitEvents(Event* const* events, int count, uint32_t milliseconds)
{
    for (int i = 0; i < count; ++i) {
        if (!events[i])
            return WaitFailed;
    }
    const uint64_t start = nowMilliseconds();
    for (;;) {
        pollfd fds[2];
        for (int i = 0; i < count; ++i)
            fds[i] = pollfd{events[i]->fd, POLLIN, 0};
        int ready = poll(fds, static_cast<nfds_t>(count), remainingPollTime(start, milliseconds));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return WaitFailed;
        }
        for (int i = 0; i < count; ++i) {
            if (fds[i].revents & POLLNVAL)
                return WaitFailed;
        }
        if (ready == 0)
            return WaitTimeout;
        // In order, so the first wins when both are set.
        for (int i = 0; i < count; ++i) {
            if ((fds[i].revents & POLLIN) && consumeSignal(events[i]))
                return static_cast<WaitResult>(i);
        }
        // Another waiter took the signal: wait on for the rest of the time.
        if (remainingPollTime(start, milliseconds) == 0)
            return WaitTimeout;
    }
}

WaitResult waitEvent(Event* event, uint32_t milliseconds)
{
    Event* events[1] = {event};
    return waitEvents(events, 1, milliseconds);
}

WaitResult waitEitherEvent(Event* first, Event* second, uint32_t milliseconds)
{
    Event* events[2] = {first, second};
    return waitEvents(events, 2, milliseconds);
}

void closeEvent(Event* event)
{
    if (!event)
        return;
    close(event->fd);
    delete event;
}

// ---- Threads ----------------------------------------------------------------
// The record is shared by the thread and its handle; whichever lets go last
// frees it, so a handle closed while the thread runs leaves it detached.

struct Thread {
    pthread_t id;
    ThreadBody body;
    void* argument;
    Event* done;  // manual reset, set when the body has returned
    std::atomic<int> holders;
    std::atomic<bool> joined;
};

static void releaseThread(Thread* thread)
{
    if (thread->holders.fetch_sub(1) == 1) {
        closeEvent(thread->done);
        delete thread;
    }
}

static void* threadMain(void* argument)
{
    Thread* thread = static_cast<Thread*>(argument);
    thread->body(thread->argument);
    setEvent(thread->done);
    releaseThread(thread);
    return nullptr;
}

Thread* startThread(ThreadBody body, void* argument, uint32_t* threadId)
{
    static std::atomic<uint32_t> lastThreadId{0};
    Thread* thread = new Thread;
    thread->body = body;
    thread->argument = argument;
    thread->done = createEvent(true, false);
    thread->holders = 2;
    thread->joined = false;
    if (!thread->done) {
        delete thread;
        return nullptr;
    }
    const int failure = pthread_create(&thread->id, nullptr, threadMain, thread);
    if (failure != 0) {
        closeEvent(thread->done);
        delete thread;
        // pthread_create reports in its result, not errno; callers say why.
        errno = failure;
        return nullptr;
    }
    if (threadId)
        *threadId = ++lastThreadId;
    return thread;
}

bool waitThread(Thread* thread, uint32_t milliseconds)
{
    if (!thread)
        return false;
    if (waitEvent(thread->done, milliseconds) != WaitFirst)
        return false;
    // The body has returned; reap the thread once, whoever asks first.
    if (!thread->joined.exchange(true))
        pthread_join(thread->id, nullptr);
    return true;
}

void closeThread(Thread* thread)
{
    if (!thread)
        return;
    if (!thread->joined.exchange(true))
        pthread_detach(thread->id);
    releaseThread(thread);
}

}  // namespace platform
