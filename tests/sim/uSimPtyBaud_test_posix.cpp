// A program that sets a speed outside the standard table (the kernel's
// arbitrary-speed interface) is heard at exactly that speed. Apart from the
// other pty tests: the kernel's termios2 header clashes with <termios.h>.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#if defined(__linux__)
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include "uSimModule.h"
#include "uSimPty.h"
#include "uVerdel97.h"

using namespace kelvo;

#if defined(__linux__) && defined(TCGETS2) && defined(BOTHER)

namespace {

bool SetCustomSpeed(int Fd, uint32_t Speed)
{
    struct termios2 t {};
    if (::ioctl(Fd, TCGETS2, &t) != 0)
        return false;
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = (t.c_cflag & ~(CBAUD | CSIZE | PARENB | CSTOPB)) | BOTHER | CS8 | CREAD | CLOCAL;
    t.c_ispeed = Speed;
    t.c_ospeed = Speed;
    return ::ioctl(Fd, TCSETS2, &t) == 0;
}

RawByteString Exchange(int Fd, const RawByteString& Request, int TimeoutMs)
{
    if (::write(Fd, Request.data(), Request.size()) != ssize_t(Request.size()))
        return {};
    RawByteString got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (std::chrono::steady_clock::now() < end && (got.empty() || CheckVerdel97Packet(got) != 0)) {
        struct pollfd p = {Fd, POLLIN, 0};
        if (::poll(&p, 1, 10) > 0) {
            char buf[256];
            ssize_t n = ::read(Fd, buf, sizeof buf);
            if (n > 0)
                got.append(buf, size_t(n));
        }
    }
    return got;
}

}  // namespace

TEST(SimPty, HearsCustomLineSpeeds)
{
    TSimSettings s = DefaultSimSettings(TSimModel::KelvoRS);
    s.LineSpeed = 250000;
    TSimModule module(s);
    TSimPty pty(module);
    pty.Start();
    int fd = ::open(pty.SlaveName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);

    ASSERT_TRUE(SetCustomSpeed(fd, 250000));
    EXPECT_EQ(SimTerminalSpeed(fd), 250000u);
    RawByteString reply = Exchange(fd, BuildVerdel97Packet(0xFE, 1, 0xF3, {}), 1000);
    ASSERT_EQ(CheckVerdel97Packet(reply), 0) << ToHex(reply);

    // The same request at a speed from the table is not understood.
    ASSERT_TRUE(SetCustomSpeed(fd, 230400));
    EXPECT_EQ(SimTerminalSpeed(fd), 230400u);
    EXPECT_TRUE(Exchange(fd, BuildVerdel97Packet(0xFE, 1, 0xF3, {}), 300).empty());
    EXPECT_EQ(module.RequestLog().back().LineSpeed, 230400u);
    ::close(fd);
}

#endif
