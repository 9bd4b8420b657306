// The record of every frame received and every reply sent, as the control
// port's 'log' and the --log file show it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace sim {

struct RecordEntry {
    bool received;  // true: a frame came in; false: a reply went out
    uint64_t ms;    // since the simulator started, monotonic
    uint64_t us;    // the same time in microseconds
    std::string bytes;
};

// "rx <ms> <bytes>", or with `microseconds` "rx <us> <bytes>".
std::string formatEntry(const RecordEntry& entry, bool microseconds = false);

// The latest entries only: a client that talks for days, or sends long
// replies back, costs no more than the bounds below. The oldest go first.
class FrameRecord {
public:
    static constexpr size_t kMaxEntries = 65536;
    static constexpr size_t kMaxBytes = size_t(8) << 20;  // of the entries' bytes

    void add(RecordEntry entry);
    // Empties it and gives its memory back.
    void clear();
    const std::deque<RecordEntry>& entries() const { return entries_; }
    size_t bytes() const { return bytes_; }
    // Entries dropped to keep within the bounds since the last clear.
    uint64_t dropped() const { return dropped_; }

private:
    std::deque<RecordEntry> entries_;
    size_t bytes_ = 0;
    uint64_t dropped_ = 0;
};

}  // namespace sim
