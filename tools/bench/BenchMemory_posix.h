#pragma once
// The process's resident memory, for the benchmarks that run on POSIX
// systems.

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kelvo::bench {

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
