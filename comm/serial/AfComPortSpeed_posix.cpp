// Arbitrary line speeds through the kernel's termios2 interface. Its header
// clashes with <termios.h>, so it lives alone in this file.

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace kelvo::afcore {

bool SetCustomBaudRate(int Fd, uint32_t Rate)
{
    struct termios2 t;
    if (ioctl(Fd, TCGETS2, &t) != 0)
        return false;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = Rate;
    t.c_ospeed = Rate;
    return ioctl(Fd, TCSETS2, &t) == 0;
}

uint32_t GetBaudRate(int Fd)
{
    struct termios2 t;
    if (ioctl(Fd, TCGETS2, &t) != 0)
        return 0;
    return t.c_ospeed;
}

}  // namespace kelvo::afcore
