// The system side of the time helpers on Windows.
#include <windows.h>

#include "uTickUtils.h"

namespace kelvo {

uint64_t ProcessCpuMicros()
{
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    auto micros = [](const FILETIME& t) {
        return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10u;  // 100 ns units
    };
    return micros(kernel) + micros(user);
}

}  // namespace kelvo
