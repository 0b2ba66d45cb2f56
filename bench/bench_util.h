// Small helpers shared by the benchmarks: timing and the process's resident memory.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>

inline double MillisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The fastest of `runs` runs of `body`, in milliseconds.
inline double BestOf(int runs, const std::function<void()>& body)
{
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        body();
        const double ms = MillisecondsSince(start);
        if (ms < best)
            best = ms;
    }
    return best;
}

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"); 0 when unknown.
inline long StatusKiB(const char* field)
{
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return 0;
    char line[256];
    long value = 0;
    const size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
            std::sscanf(line + length + 1, "%ld", &value);
            break;
        }
    }
    std::fclose(f);
    return value;
}

// Lets VmHWM measure the peak from now on.
inline void ResetPeakMemory()
{
    if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}
