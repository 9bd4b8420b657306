// One output stream of the Linux program (standard output or standard error)
// written by a thread of its own. The engine, the port reader and the main
// thread only queue lines, so a reader that does not keep up (a terminal
// stopped with Ctrl-S, a pipe nobody reads) never holds them up: when the
// queue is full a line is dropped and counted, and the count is reported on
// standard error once the writer has caught up ("merlintest: 37 trace lines
// dropped").
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

class OutputWriter {
public:
    // Lines of at most this many characters, the newline included.
    static constexpr size_t kLineSize = 256;

    // Writes to descriptor `fd`. `what` names its lines in a drop report
    // ("trace lines"); at most `capacity` of them wait at a time. Drop
    // reports go to `reports`, or to the writer's own stream when null.
    OutputWriter(int fd, const char* what, size_t capacity, OutputWriter* reports);
    // Only once start() failed or finish() returned true.
    ~OutputWriter();
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    // Creates the event and starts the thread; false (errno telling why)
    // when either cannot be had. Call once.
    bool start();

    // Queues one line (cut to kLineSize - 1 characters); never waits. A
    // notice (a drop report, an error) has a few places of its own beyond
    // the capacity, so lines that flood the queue do not crowd it out.
    void add(const char* line, bool notice = false);
    // Queues a notice where this writer's drop reports go (standard error).
    void report(const char* line);
    // The same, but handed over only once every line queued here before it
    // has been written: a reason follows the status it explains even where
    // both streams reach one terminal.
    void reportAfter(const char* line);

    // Asks the thread to write what is queued and end, and waits for it until
    // `deadline` (platform::nowMilliseconds()). True when it has ended; the
    // object may then be deleted. Otherwise the thread is left to the
    // process's end, blocked in a write, and the object must be kept.
    bool finish(uint64_t deadline);

    // The errno of the first write that failed; 0 when none did.
    int error();

private:
    static uint32_t threadBody(void* writer);
    void run();
    void queue(const char* line, bool notice, bool handOver);
    void writeAll(const char* text, size_t length);

    static constexpr size_t kNoticeRoom = 4;

    const int fd_;
    const char* const what_;
    const size_t capacity_;
    OutputWriter* const reports_;
    platform::Lock lock_;
    platform::Event* wake_ = nullptr;
    platform::Thread* thread_ = nullptr;
    // A ring of capacity_ + kNoticeRoom lines, under lock_, and for each
    // whether it goes to reports_ rather than to fd_.
    char* lines_ = nullptr;
    bool* handOver_ = nullptr;
    size_t first_ = 0;
    size_t count_ = 0;
    unsigned long dropped_ = 0;
    bool finishing_ = false;
    int error_ = 0;
};
