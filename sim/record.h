// The record of every frame received and every reply sent, as the control
// port's 'log' and the --log file show it.
#pragma once

#include <cstdint>
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

}  // namespace sim
