// The system side of the time helpers on POSIX.
#include <time.h>

#include "uTickUtils.h"

namespace kelvo {

uint64_t ProcessCpuMicros()
{
    timespec t{};
    if (::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t) != 0)
        return 0;
    return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_nsec) / 1000u;
}

}  // namespace kelvo
