#include "sim/record.h"

#include "sim/control_text.h"
#include "sim/simulator.h"

namespace sim {

std::string formatEntry(const RecordEntry& entry, bool microseconds)
{
    return std::string(entry.received ? "rx " : "tx ") + std::to_string(microseconds ? entry.us : entry.ms) + " " +
           escapeBytes(entry.bytes);
}

void Simulator::record(bool received, const std::string& bytes, Clock::time_point now)
{
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(now - start_).count();
    record_.push_back(RecordEntry{received, uint64_t(us / 1000), uint64_t(us), bytes});
    if (logFile_) {
        std::fprintf(logFile_, "%s\n", formatEntry(record_.back()).c_str());
        std::fflush(logFile_);
    }
}
}  // namespace sim
