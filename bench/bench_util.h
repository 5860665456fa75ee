// Shared by the benchmarks: CPU time of this process and of child commands.
#pragma once

#include "bass.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <spawn.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace bench {

inline double cpuSeconds(const rusage &u)
{
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
           + static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

inline double selfCpu()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return cpuSeconds(u);
}

struct ChildRun {
    double cpu = -1;  // CPU seconds, -1 when the command failed
    double wall = -1; // wall-clock seconds
};

// Runs a command to its end.
inline ChildRun runChild(std::vector<std::string> args)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return {};
    int status = 0;
    rusage u{};
    if (wait4(pid, &status, 0, &u) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    return {cpuSeconds(u), std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

// Plays `stream` for `seconds` and returns the CPU seconds this process used meanwhile.
inline double playingCpu(HSTREAM stream, double seconds)
{
    const double before = selfCpu();
    BASS_ChannelPlay(stream, FALSE);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double used = selfCpu() - before;
    BASS_ChannelStop(stream);
    return used;
}

} // namespace bench
