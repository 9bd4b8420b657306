// Clocks and process counters for the benchmarks: a microsecond clock, the
// process's CPU time, its context switches (wake-ups) and peak memory. Only
// the benchmarks use these, so they live here rather than in platform/.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <time.h>
#endif

namespace bench {

inline uint64_t nowMicroseconds()
{
#ifdef _WIN32
    static const uint64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<uint64_t>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const uint64_t counts = static_cast<uint64_t>(now.QuadPart);
    return counts / frequency * 1000000u + counts % frequency * 1000000u / frequency;
#else
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
#endif
}

// User plus system time of the whole process.
inline uint64_t processCpuMicroseconds()
{
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    auto value = [](const FILETIME& t) {
        return (static_cast<uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 10u;
    };
    return value(kernel) + value(user);
#else
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<uint64_t>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000u +
           static_cast<uint64_t>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
#endif
}

// Context switches of every thread of the process, voluntary and not, from
// /proc (under wine too, through its Z: drive); -1 when /proc is not there.
inline long long contextSwitches()
{
    long long total = 0;
    std::error_code error;
    std::filesystem::directory_iterator tasks("/proc/self/task", error);
    if (error)
        return -1;
    for (const auto& task : tasks) {
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.find("ctxt_switches:") != std::string::npos)
                total += std::atoll(line.c_str() + line.find(':') + 1);
        }
    }
    return total;
}

// Peak resident memory in kB (VmHWM); -1 when /proc is not there.
inline long peakResidentKb()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

}  // namespace bench
