#pragma once
// kelvoctl run as a child process, as a technician runs it: its output and
// exit status, for the tests of the program.

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace kelvo::ctltest {

struct TRun {
    int Status = -1;
    std::string Out;
    std::string Err;
};

// kelvoctl running with Args (after Prefix, e.g. setpriv and its options),
// its output collected by Finish; a run that hangs is killed after two
// minutes.
class TChild {
public:
    explicit TChild(const std::vector<std::string>& Args, const std::vector<std::string>& Prefix = {})
    {
        std::vector<std::string> argv = Prefix;
        argv.push_back(KELVOCTL_EXE);
        argv.insert(argv.end(), Args.begin(), Args.end());
        std::vector<char*> ptrs;
        for (auto& a : argv)
            ptrs.push_back(a.data());
        ptrs.push_back(nullptr);
        int out[2], err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0)
            return;
        FPid = ::fork();
        if (FPid == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::close(out[0]), ::close(out[1]), ::close(err[0]), ::close(err[1]);
            ::execvp(ptrs[0], ptrs.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        FFds[0] = out[0];
        FFds[1] = err[0];
    }

    void Signal(int Sig) { ::kill(FPid, Sig); }

    TRun Finish()
    {
        TRun run;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        pollfd fds[2] = {{FFds[0], POLLIN, 0}, {FFds[1], POLLIN, 0}};
        std::string* sinks[2] = {&run.Out, &run.Err};
        int open = 2;
        while (open > 0 && std::chrono::steady_clock::now() < deadline) {
            if (::poll(fds, 2, 200) <= 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                char buf[4096];
                const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                if (n > 0) {
                    sinks[i]->append(buf, size_t(n));
                } else {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
        if (open > 0)
            ::kill(FPid, SIGKILL);
        for (auto& f : fds)
            if (f.fd >= 0)
                ::close(f.fd);
        int status = 0;
        ::waitpid(FPid, &status, 0);
        run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return run;
    }

private:
    pid_t FPid = -1;
    int FFds[2] = {-1, -1};
};

inline TRun Ctl(const std::vector<std::string>& Args)
{
    return TChild(Args).Finish();
}

// Waits up to Ms for Ready.
template <class F>
bool WaitFor(F Ready, int Ms = 10000)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    while (!Ready()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline std::string Describe(const TRun& R)
{
    return "exit " + std::to_string(R.Status) + "\n--- stdout\n" + R.Out + "--- stderr\n" + R.Err;
}

// The line of Text that holds Part ("" when none).
inline std::string Line(const std::string& Text, const std::string& Part)
{
    const size_t at = Text.find(Part);
    if (at == std::string::npos)
        return std::string();
    const size_t begin = Text.rfind('\n', at);
    const size_t start = begin == std::string::npos ? 0 : begin + 1;
    return Text.substr(start, Text.find('\n', at) - start);
}

}  // namespace kelvo::ctltest
