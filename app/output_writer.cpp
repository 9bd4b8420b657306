#include "app/output_writer.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// The platform's wait without end.
constexpr uint32_t kNoTimeLimit = 0xFFFFFFFFu;

}  // namespace

OutputWriter::OutputWriter(int fd, const char* what, size_t capacity, OutputWriter* reports)
    : fd_(fd), what_(what), capacity_(capacity), reports_(reports)
{
    lock_.init();
    lines_ = new char[(capacity_ + kNoticeRoom) * kLineSize];
    handOver_ = new bool[capacity_ + kNoticeRoom]();
}

OutputWriter::~OutputWriter()
{
    platform::closeEvent(wake_);
    delete[] handOver_;
    delete[] lines_;
    lock_.destroy();
}

bool OutputWriter::start()
{
    wake_ = platform::createEvent(false, false);
    if (wake_ == nullptr)
        return false;
    thread_ = platform::startThread(&OutputWriter::threadBody, this, nullptr);
    return thread_ != nullptr;
}

void OutputWriter::add(const char* line, bool notice)
{
    queue(line, notice, false);
}

void OutputWriter::queue(const char* line, bool notice, bool handOver)
{
    bool wasEmpty = false;
    {
        platform::LockHold hold(lock_);
        if (count_ >= capacity_ + (notice ? kNoticeRoom : 0)) {
            if (!notice)
                ++dropped_;
            return;
        }
        const size_t at = (first_ + count_) % (capacity_ + kNoticeRoom);
        char* slot = lines_ + at * kLineSize;
        const size_t length = strnlen(line, kLineSize - 1);
        std::memcpy(slot, line, length);
        slot[length] = '\0';
        handOver_[at] = handOver;
        wasEmpty = count_++ == 0;
    }
    // The writer drains the queue before it waits again: only the first line
    // needs to wake it.
    if (wasEmpty)
        platform::setEvent(wake_);
}

void OutputWriter::report(const char* line)
{
    (reports_ != nullptr ? reports_ : this)->add(line, true);
}

void OutputWriter::reportAfter(const char* line)
{
    queue(line, true, reports_ != nullptr);
}

bool OutputWriter::finish(uint64_t deadline)
{
    if (thread_ == nullptr)
        return true;
    {
        platform::LockHold hold(lock_);
        finishing_ = true;
    }
    platform::setEvent(wake_);
    const uint64_t now = platform::nowMilliseconds();
    const bool ended = platform::waitThread(thread_, now < deadline ? static_cast<uint32_t>(deadline - now) : 0);
    // A thread still blocked in a write is left to run detached.
    platform::closeThread(thread_);
    thread_ = nullptr;
    return ended;
}

int OutputWriter::error()
{
    platform::LockHold hold(lock_);
    return error_;
}

uint32_t OutputWriter::threadBody(void* writer)
{
    // A reader that has gone makes a write fail (EPIPE), which is reported
    // as a write error, instead of ending the process with the port as it is.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    static_cast<OutputWriter*>(writer)->run();
    return 0;
}

void OutputWriter::run()
{
    char text[kLineSize];
    for (;;) {
        bool report = false;
        bool finishing = false;
        {
            platform::LockHold hold(lock_);
            if (count_ > 0) {
                std::strcpy(text, lines_ + first_ * kLineSize);
                report = handOver_[first_];
                first_ = (first_ + 1) % (capacity_ + kNoticeRoom);
                --count_;
            } else if (dropped_ > 0) {
                std::snprintf(text, sizeof text, "merlintest: %lu %s dropped\n", dropped_, what_);
                dropped_ = 0;
                report = true;
            } else {
                finishing = finishing_;
                text[0] = '\0';
            }
        }
        if (text[0] != '\0') {
            if (report && reports_ != nullptr)
                reports_->add(text, true);
            else
                writeAll(text, std::strlen(text));
            continue;
        }
        if (finishing)
            return;
        platform::waitEvent(wake_, kNoTimeLimit);
    }
}

void OutputWriter::writeAll(const char* text, size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fd_, text, length);
        if (written >= 0) {
            text += written;
            length -= static_cast<size_t>(written);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A descriptor someone made non-blocking: wait for room.
            pollfd room = {fd_, POLLOUT, 0};
            poll(&room, 1, -1);
            continue;
        }
        const int failure = errno;
        platform::LockHold hold(lock_);
        if (error_ == 0)
            error_ = failure;
        return;
    }
}
