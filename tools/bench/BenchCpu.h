#pragma once
// The process's CPU time and resident memory, for the benchmarks that run
// on POSIX systems.

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kelvo::bench {

// User and system time the process has used so far, in seconds.
inline double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The process's resident memory now, in KiB (0 where /proc tells nothing).
inline long ResidentKiB()
{
    long kib = 0;
    if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::strncmp(line, "VmRSS:", 6) == 0)
                kib = std::atol(line + 6);
        std::fclose(f);
    }
    return kib;
}

}  // namespace kelvo::bench
