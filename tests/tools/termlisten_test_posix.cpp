// kelvo-termlisten run as a technician runs it: started, fed by the
// forwarder of the program, stopped by a signal.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "uByteString.h"
#include "ScopedEnvDir.h"
#include "uTerminalForwarder.h"

using namespace kelvo;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The user's runtime folder, fresh for one test.
struct TScopedRuntimeDir : kelvo::testing::TScopedEnvDir {
    TScopedRuntimeDir() : TScopedEnvDir("XDG_RUNTIME_DIR", "kelvo-tl") {}
};

// The listener as a child process with its standard output in a pipe.
class TListenerProcess {
public:
    explicit TListenerProcess(std::vector<std::string> Args = {})
    {
        int out[2];
        if (::pipe(out) != 0)
            return;
        FPid = ::fork();
        if (FPid == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv;
            std::string exe = KELVO_TERMLISTEN_EXE;
            argv.push_back(exe.data());
            for (auto& a : Args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(exe.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        FOut = out[0];
    }
    ~TListenerProcess()
    {
        if (FPid > 0 && !FExited) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
        }
        if (FOut >= 0)
            ::close(FOut);
    }

    // Reads up to the next line end, waiting at most Limit.
    std::optional<std::string> ReadLine(std::chrono::milliseconds Limit = 5000ms)
    {
        auto deadline = std::chrono::steady_clock::now() + Limit;
        for (;;) {
            size_t nl = FBuffer.find('\n');
            if (nl != std::string::npos) {
                std::string line = FBuffer.substr(0, nl);
                FBuffer.erase(0, nl + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            pollfd p{FOut, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buf[512];
            ssize_t n = ::read(FOut, buf, sizeof buf);
            if (n <= 0)
                return std::nullopt;
            FBuffer.append(buf, static_cast<size_t>(n));
        }
    }

    // Exit status after a signal (or on its own), -1 when it does not end.
    int Stop(int Signal)
    {
        if (Signal)
            ::kill(FPid, Signal);
        return Wait();
    }
    int Wait(std::chrono::milliseconds Limit = 5000ms)
    {
        auto deadline = std::chrono::steady_clock::now() + Limit;
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            pid_t r = ::waitpid(FPid, &status, WNOHANG);
            if (r == FPid) {
                FExited = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

    bool Started() const { return FPid > 0; }

private:
    pid_t FPid = -1;
    int FOut = -1;
    bool FExited = false;
    std::string FBuffer;
};

bool IsSocket(const std::string& Path)
{
    struct stat st {};
    return ::lstat(Path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// Waits until a listener answers on Path (a socket file alone may be stale).
bool WaitForListener(const std::string& Path)
{
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        int probe = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, Path.c_str(), Path.size() + 1);
        bool up = ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(probe);
        if (up)
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// A socket file left behind by a listener that died.
void LeaveStaleSocket(const std::string& Path)
{
    int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, Path.c_str(), Path.size() + 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
}

}  // namespace

TEST(TermListen, PrintsOneLinePerForwardedMessageAndCleansUpOnSigterm)
{
    TScopedRuntimeDir runtime;
    const std::string path = TerminalSocketPath();
    TListenerProcess listener;
    ASSERT_TRUE(listener.Started());
    ASSERT_TRUE(WaitForListener(path));
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << "other users may send to the listener";

    ForwardToTerminal(Bytes({0x01, 0x2A, 0x00, 0x41, 0x0D, 0x7E, 0x7F}));
    ForwardToTerminal(Bytes({0x02}) + "OK 12");
    ForwardToTerminal(Bytes({0x07, 0x20}));

    const std::string time = R"(\d\d:\d\d:\d\d\.\d\d\d)";
    auto l1 = listener.ReadLine();
    auto l2 = listener.ReadLine();
    auto l3 = listener.ReadLine();
    ASSERT_TRUE(l1 && l2 && l3);
    EXPECT_TRUE(std::regex_match(*l1, std::regex(time + R"( -> 2A 00 41 0D 7E 7F \| \*\.A\.~\.)"))) << *l1;
    EXPECT_TRUE(std::regex_match(*l2, std::regex(time + R"( <- 4F 4B 20 31 32 \| OK 12)"))) << *l2;
    EXPECT_TRUE(std::regex_match(*l3, std::regex(time + R"( 07 20 \|  )"))) << *l3;

    EXPECT_EQ(listener.Stop(SIGTERM), 0);
    EXPECT_FALSE(fs::exists(path));
}

TEST(TermListen, ReplacesAStaleSocketLeavesALiveOneAndStopsOnSigint)
{
    TScopedRuntimeDir runtime;
    const std::string path = TerminalSocketPath();
    LeaveStaleSocket(path);
    ASSERT_TRUE(IsSocket(path));

    TListenerProcess first;
    ASSERT_TRUE(WaitForListener(path));

    // A second listener must not take the socket away from the first.
    TListenerProcess second;
    EXPECT_EQ(second.Wait(), 1);
    ForwardToTerminal(Bytes({0x01, 0xF3}));
    auto line = first.ReadLine();
    ASSERT_TRUE(line);
    EXPECT_NE(line->find(" -> F3 | ."), std::string::npos) << *line;

    EXPECT_EQ(first.Stop(SIGINT), 0);
    EXPECT_FALSE(fs::exists(path));
}

TEST(TermListen, HelpAndBadArguments)
{
    TScopedRuntimeDir runtime;
    TListenerProcess help({"--help"});
    auto usage = help.ReadLine();
    ASSERT_TRUE(usage);
    EXPECT_EQ(usage->rfind("Usage:", 0), 0u) << *usage;
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_FALSE(fs::exists(TerminalSocketPath()));

    TListenerProcess bad({"--bogus"});
    EXPECT_EQ(bad.Wait(), 2);
}
