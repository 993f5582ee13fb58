#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "uExceptions.h"
#include "uSimModule.h"
#include "uSimPty.h"
#include "uVerdel97.h"

using namespace kelvo;

namespace {

// A folder of its own for each test, removed with everything in it.
class TTempDir {
public:
    TTempDir()
    {
        char pattern[] = "/tmp/kelvo-sim-test-XXXXXX";
        FPath = ::mkdtemp(pattern);
    }
    ~TTempDir() { std::system(("rm -rf '" + FPath + "'").c_str()); }
    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
};

// The program's side, with plain termios: raw, 8N1, at Speed.
int OpenPort(const std::string& Path, speed_t Speed)
{
    int fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return fd;
    struct termios t {};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, Speed);
    ::cfsetospeed(&t, Speed);
    ::tcsetattr(fd, TCSANOW, &t);
    return fd;
}

void SetSpeed(int Fd, speed_t Speed)
{
    struct termios t {};
    ::tcgetattr(Fd, &t);
    ::cfsetispeed(&t, Speed);
    ::cfsetospeed(&t, Speed);
    ::tcsetattr(Fd, TCSANOW, &t);
}

bool Send(int Fd, const RawByteString& Bytes)
{
    return ::write(Fd, Bytes.data(), Bytes.size()) == ssize_t(Bytes.size());
}

// Reads until a complete frame is in or TimeoutMs passed.
RawByteString ReadFrame(int Fd, int TimeoutMs)
{
    RawByteString got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (std::chrono::steady_clock::now() < end && (got.empty() || CheckVerdel97Packet(got) != 0)) {
        struct pollfd p = {Fd, POLLIN, 0};
        if (::poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) {
            char buf[256];
            ssize_t n = ::read(Fd, buf, sizeof buf);
            if (n > 0)
                got.append(buf, size_t(n));
        }
    }
    return got;
}

RawByteString DataOf(const RawByteString& Frame)
{
    TVerdelFormat97 f;
    if (CheckVerdel97Packet(Frame) != 0)
        return "(no frame: " + ToHex(Frame) + ")";
    ParseVerdel97Packet(Frame, f);
    return f.Data;
}

}  // namespace

TEST(SimPty, ServesTheModuleThroughItsLink)
{
    TTempDir dir;
    TSimModule module;
    TSimPty pty(module);
    std::vector<RawByteString> traffic;
    std::mutex trafficLock;
    TSimPtyOptions options;
    options.LinkDir = dir.Path();
    options.PortNumber = 7;
    options.OnTraffic = [&](bool, const RawByteString& b) {
        std::lock_guard lock(trafficLock);
        traffic.push_back(b);
    };
    pty.Start(options);
    ASSERT_TRUE(pty.Running());
    const std::string link = dir.Path() + "/com7";
    EXPECT_EQ(pty.LinkPath(), link);
    EXPECT_EQ(pty.PortNumber(), 7u);
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(target, pty.SlaveName());

    int fd = OpenPort(link, B9600);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(Send(fd, BuildVerdel97Packet(0xFE, 1, 0xF3, {})));
    EXPECT_EQ(DataOf(ReadFrame(fd, 1000)), "KelvoUSB 4AI v1.07");

    // A save: 0xE4, then the write, reaches the write log.
    ASSERT_TRUE(Send(fd, BuildVerdel97Packet(1, 1, 0xE4, {})));
    ReadFrame(fd, 1000);
    RawByteString user = Bytes({0}) + "Linka 2         ";
    ASSERT_TRUE(Send(fd, BuildVerdel97Packet(1, 1, 0xE2, user)));
    ReadFrame(fd, 1000);
    EXPECT_EQ(module.WriteLog(), (std::vector<TSimWrite>{{0xE2, user}}));

    // At another speed the module does not understand the program.
    SetSpeed(fd, B19200);
    ASSERT_TRUE(Send(fd, BuildVerdel97Packet(0xFE, 1, 0xF3, {})));
    EXPECT_TRUE(ReadFrame(fd, 300).empty());
    ASSERT_FALSE(module.RequestLog().empty());
    EXPECT_EQ(module.RequestLog().back().Outcome, TSimOutcome::Garbled);
    EXPECT_EQ(module.RequestLog().back().LineSpeed, 19200u);

    // A new session on the same port, back at the module's speed.
    ::close(fd);
    fd = OpenPort(link, B9600);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(Send(fd, BuildVerdel97Packet(0xFE, 1, 0xF2, {})));
    EXPECT_EQ(DataOf(ReadFrame(fd, 1000)), "Linka 2         ");
    ::close(fd);
    {
        std::lock_guard lock(trafficLock);
        EXPECT_GE(traffic.size(), 8u);  // every request and every reply
    }

    pty.Stop();
    EXPECT_FALSE(pty.Running());
    struct stat st {};
    EXPECT_NE(::lstat(link.c_str(), &st), 0);  // the link went with it
    pty.Stop();                                // a second stop is harmless
}

TEST(SimPty, PacesASlowLineInRealTime)
{
    TSimSettings s = DefaultSimSettings();
    s.Faults.SlowLine = true;
    TSimModule module(s);
    TSimPty pty(module);
    pty.Start();
    EXPECT_TRUE(pty.LinkPath().empty());
    int fd = OpenPort(pty.SlaveName(), B9600);
    ASSERT_GE(fd, 0);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(Send(fd, BuildVerdel97Packet(0xFE, 1, 0x58, Bytes({0}))));
    RawByteString reply = ReadFrame(fd, 2000);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(DataOf(reply).size(), 72u);
    EXPECT_GE(ms, 80);  // 81 bytes at 9600 bit/s take 85 ms
    ::close(fd);
}

TEST(SimPty, ChoosesItsPortNumberAndLeavesForeignFilesAlone)
{
    TTempDir dir;
    std::ofstream(dir.Path() + "/com1") << "not a link";
    ASSERT_EQ(::symlink("/nonexistent/ttyX", (dir.Path() + "/com3").c_str()), 0);
    TSimModule module;

    TSimPty a(module);
    TSimPtyOptions options;
    options.LinkDir = dir.Path();
    a.Start(options);
    EXPECT_EQ(a.PortNumber(), 2u);

    // An explicit number replaces a stale link but never a file.
    TSimPty b(module);
    options.PortNumber = 3;
    b.Start(options);
    char target[256] = {};
    ASSERT_GT(::readlink((dir.Path() + "/com3").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(target, b.SlaveName());

    TSimPty c(module);
    options.PortNumber = 1;
    EXPECT_THROW(c.Start(options), Exception);
    EXPECT_FALSE(c.Running());
    EXPECT_TRUE(c.SlaveName().empty());
    std::ifstream file(dir.Path() + "/com1");
    std::string content;
    std::getline(file, content);
    EXPECT_EQ(content, "not a link");

    EXPECT_THROW(a.Start(options), Exception);  // already running
    a.Stop();
    b.Stop();
    struct stat st {};
    EXPECT_NE(::lstat((dir.Path() + "/com2").c_str(), &st), 0);
    EXPECT_NE(::lstat((dir.Path() + "/com3").c_str(), &st), 0);
}

TEST(SimPty, HangsUpWhenTheModuleVanishesMidReply)
{
    TTempDir dir;
    TSimSettings s = DefaultSimSettings();
    s.Faults.VanishAfter = 1;
    TSimModule module(s);
    TSimPty pty(module);
    TSimPtyOptions options;
    options.LinkDir = dir.Path();
    options.PortNumber = 4;
    pty.Start(options);
    int fd = OpenPort(pty.LinkPath(), B9600);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(Send(fd, BuildVerdel97Packet(0xFE, 1, 0xF3, {})));
    EXPECT_EQ(DataOf(ReadFrame(fd, 1000)), "KelvoUSB 4AI v1.07");

    ASSERT_TRUE(Send(fd, BuildVerdel97Packet(0xFE, 1, 0xF3, {})));
    // Half a frame arrives, then the line is dead: a hang-up, or a read
    // that fails.
    RawByteString got;
    bool dead = false;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!dead && std::chrono::steady_clock::now() < end) {
        struct pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        char buf[256];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            got.append(buf, size_t(n));
        else if (n == 0 || errno != EAGAIN)
            dead = true;
    }
    EXPECT_TRUE(dead);
    EXPECT_FALSE(got.empty());
    EXPECT_NE(CheckVerdel97Packet(got), 0);
    EXPECT_TRUE(pty.HungUp());
    struct stat st {};
    EXPECT_NE(::lstat((dir.Path() + "/com4").c_str(), &st), 0);
    ::close(fd);
    pty.Stop();
}
