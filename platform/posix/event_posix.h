// What the POSIX backend's files share about events: an Event is an eventfd,
// so a serial read can poll it together with the device.
#pragma once

#include "platform/platform.h"

#include <atomic>

namespace platform {

struct Event {
    int fd;  // eventfd, non-blocking; readable while the event is set
    bool manualReset;
    // Counts sets. The waiter that sees the event set loads it, so what the
    // setter wrote before setEvent() is visible to it (and to ThreadSanitizer,
    // which does not see poll() as an acquire).
    std::atomic<uint32_t> sets;
};

// Takes the signal of an event that poll() reported readable: false when
// another waiter consumed an auto-reset event first. A manual-reset event
// stays set.
bool consumeSignal(Event* event);

// Milliseconds left of a wait that began at `start`, as poll() wants them;
// -1 for an endless wait.
int remainingPollTime(uint64_t start, uint32_t milliseconds);

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

}  // namespace platform
