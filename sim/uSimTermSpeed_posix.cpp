// The line speed of a terminal. Kept apart from the pty code: the kernel's
// arbitrary-speed structure (termios2) comes from a header that clashes
// with the C library's <termios.h>.

#include "uSimPty.h"

#if defined(__linux__)
#include <asm/termbits.h>
#include <sys/ioctl.h>
#else
#include <termios.h>
#endif

namespace kelvo {

uint32_t SimTerminalSpeed(int Fd)
{
#if defined(__linux__) && defined(TCGETS2)
    // The kernel keeps c_ospeed in step with the speed bits also when the
    // program used the standard constants, so this one read covers both.
    struct termios2 t2 {};
    if (ioctl(Fd, TCGETS2, &t2) == 0)
        return t2.c_ospeed;
    return 0;
#elif defined(__linux__)
    struct termios t {};
    if (ioctl(Fd, TCGETS, &t) != 0)
        return 0;
    static const struct { speed_t Code; uint32_t Speed; } table[] = {
        {B110, 110}, {B300, 300}, {B600, 600}, {B1200, 1200}, {B2400, 2400}, {B4800, 4800},
        {B9600, 9600}, {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
        {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    for (const auto& e : table)
        if ((t.c_cflag & CBAUD) == e.Code)
            return e.Speed;
    return 0;
#else
    // BSD and macOS keep the speed as a number.
    struct termios t {};
    if (tcgetattr(Fd, &t) != 0)
        return 0;
    return static_cast<uint32_t>(cfgetospeed(&t));
#endif
}

}  // namespace kelvo
