// The bake run as a user runs it, for the benchmarks: the command through the shell,
// its peak memory, and the stage times it reports.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench_util.h"

// The stage times the bake reports on standard error, in milliseconds.
struct Stages {
    double load = 0, decode = 0, tangent = 0, rays = 0, draw = 0, pad = 0, encode = 0;
};

inline double SecondsAfterIn(const std::string& line)
{
    const size_t in = line.rfind(" in ");
    return in == std::string::npos ? 0 : std::atof(line.c_str() + in + 4) * 1000;
}

inline Stages ReadStages(const std::string& path)
{
    Stages stages;
    FILE* f = std::fopen(path.c_str(), "r");
    char text[1024];
    while (f && std::fgets(text, sizeof text, f)) {
        const std::string line = text;
        double& slot = line.find("meshes read") != std::string::npos      ? stages.load
                     : line.find("decoded") != std::string::npos          ? stages.decode
                     : line.find("tangent frames") != std::string::npos   ? stages.tangent
                     : line.find("rays: onto") != std::string::npos       ? stages.rays
                     : line.find("drawn") != std::string::npos            ? stages.draw
                     : line.find("padded") != std::string::npos           ? stages.pad
                     : line.find("written") != std::string::npos          ? stages.encode
                                                                          : stages.load;
        if (line.find(" in ") != std::string::npos && line.find("warning") == std::string::npos)
            slot += SecondsAfterIn(line);  // tiles add up
    }
    if (f)
        std::fclose(f);
    return stages;
}

inline void Fail(const char* what)
{
    std::printf("bake bench: %s\n", what);
    std::exit(1);
}

// A command run through the shell, waited for with its own resource use: false when it
// fails; *peak_mib is its largest resident size.
inline bool RunMeasured(const std::string& command, double* peak_mib)
{
    const pid_t child = fork();
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child)
        return false;
    *peak_mib = usage.ru_maxrss / 1024.0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Run {
    double ms = 1e300, peak = 0;
    Stages stages;
};

// One run of the bake, with the stage times and the peak it reported.
inline Run Bake(const std::string& command, const std::string& report)
{
    double peak = 0;
    bool done = false;
    const double ms = BestOf(1, [&] { done = RunMeasured(command, &peak); });
    if (!done)
        Fail("the bake failed");
    return Run{ms, peak, ReadStages(report)};
}

inline void KeepFaster(Run* best, const Run& run)
{
    if (run.ms < best->ms)
        *best = run;
}

