// Measures kelvoctl publish: 32 simulated modules (KelvoUSB at 115200
// bit/s, each on a pseudo-terminal of its own) polled once a second for 60
// ticks into a mosquitto on a loopback port, with a subscriber on the
// broker. Prints the ticks delivered per tick polled, kelvoctl's CPU while
// it publishes and its memory, and the delay from a module's reply to the
// message at the subscriber.
//
//   bench_publish [ticks]     (default 60)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "BenchFigures.h"
#include "MosquittoBroker.h"
#include "uKelvoxx.h"
#include "uSimPty.h"

using namespace kelvo;
using namespace kelvo::bench;

namespace {

constexpr int kModules = 32;

// User and system time of a process so far, in ms (from /proc).
double CpuMsOf(pid_t Pid)
{
    std::ifstream in("/proc/" + std::to_string(Pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14)
            utime = std::stoul(f);
        if (i == 15)
            stime = std::stoul(f);
    }
    return 1000.0 * double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

long KiBOf(pid_t Pid, const char* Field)
{
    std::ifstream in("/proc/" + std::to_string(Pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(Field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(Field));
    return 0;
}

double Percentile(std::vector<double> V, double P)
{
    if (V.empty())
        return 0;
    std::sort(V.begin(), V.end());
    return V[std::min(V.size() - 1, size_t(P * double(V.size())))];
}

}  // namespace

int main(int argc, char** argv)
{
    const int ticks = argc > 1 ? std::max(5, std::atoi(argv[1])) : 60;
    char tmpl[] = "/tmp/kelvo-bench-publish-XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    const std::string ports = dir + "/ports";
    std::filesystem::create_directories(ports);
    std::filesystem::create_directories(dir + "/broker");
    ::setenv("KELVO_PORTS_DIR", ports.c_str(), 1);

    // The moment each module's last reply left it.
    std::array<std::atomic<int64_t>, kModules> lastReply{};
    auto nowUs = [] {
        return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
    };
    std::vector<std::unique_ptr<TSimModule>> modules;
    std::vector<std::unique_ptr<TSimPty>> ptys;
    std::array<std::atomic<int>, kModules> polled{};
    for (int i = 0; i < kModules; ++i) {
        TSimSettings s = DefaultSimSettings(TSimModel::KelvoUSB);
        s.SpeedCode = 10;
        s.SerialNumber = static_cast<uint16_t>(i + 1);
        modules.push_back(std::make_unique<TSimModule>(s));
        modules.back()->OnRequest = [&polled, i](const TSimRequest& R) {
            if (R.Instruction == kInstrReadValues)
                ++polled[i];
        };
        ptys.push_back(std::make_unique<TSimPty>(*modules.back()));
        TSimPtyOptions options;
        options.LinkDir = ports;
        options.PortNumber = unsigned(i + 1);
        options.OnTraffic = [&lastReply, &nowUs, i](bool Received, const RawByteString&) {
            if (!Received)
                lastReply[i] = nowUs();
        };
        ptys.back()->Start(options);
    }

    kelvo::testing::TMosquitto broker(dir + "/broker");
    if (!broker.Start()) {
        std::fprintf(stderr, "bench_publish: mosquitto did not start\n");
        return 1;
    }
    kelvo::testing::TMqttSubscriber sub(broker.Port);
    sub.WaitSubscribed();
    std::mutex lock;
    std::vector<double> delaysMs;
    std::map<int, std::set<std::string>> delivered;  // module -> tick times
    sub.OnMessage = [&](const kelvo::testing::TReceived& M) {
        const size_t slash = M.Topic.find('/');
        if (M.Topic.size() < 7 || M.Topic.compare(M.Topic.size() - 7, 7, "/values") != 0)
            return;
        const int module = std::atoi(M.Topic.c_str() + slash + 1) - 1;
        if (module < 0 || module >= kModules)
            return;
        const double delay = double(nowUs() - lastReply[module]) / 1000.0;
        const size_t at = M.Payload.find("\"time\":\"");
        std::lock_guard<std::mutex> g(lock);
        if (delivered[module].insert(M.Payload.substr(at + 8, 29)).second)
            delaysMs.push_back(delay);
    };

    const std::string count = std::to_string(ticks);
    const char* args[] = {KELVOCTL_EXE, "publish", "--all", "--speeds", "115200", "--mqtt", nullptr,
                          "--interval", "1000", "--count", count.c_str(), nullptr};
    const std::string url = broker.Url();
    args[6] = url.c_str();
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        ::execv(args[0], const_cast<char* const*>(args));
        ::_exit(127);
    }
    // CPU and memory from the first tick to the last but one: the
    // publishing, not the search at the start nor the stop.
    sub.WaitFor([](auto& M) { return !M.empty(); }, 60000);
    const auto t0 = Clock::now();
    const double cpu0 = CpuMsOf(pid);
    std::this_thread::sleep_for(std::chrono::seconds(ticks - 2));
    const double cpu1 = CpuMsOf(pid);
    const double wallMs = Ms(Clock::now() - t0);
    const long rss = KiBOf(pid, "VmRSS:");
    const long peak = KiBOf(pid, "VmHWM:");
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    for (auto& p : ptys)
        p->Stop();
    broker.Stop();
    std::filesystem::remove_all(dir);

    size_t polls = 0, got = 0;
    for (int i = 0; i < kModules; ++i)
        polls += size_t(polled[i]);
    std::lock_guard<std::mutex> g(lock);
    for (auto& [m, times] : delivered)
        got += times.size();
    std::printf("kelvoctl publish, %d modules at 1 tick/s for %d ticks, exit status %d:\n", kModules, ticks,
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::printf("  ticks delivered / polled:   %zu / %zu = %.3f   (target 1.000)\n", got, polls,
                polls ? double(got) / double(polls) : 0.0);
    std::printf("  CPU while publishing:       %8.2f %% of a core   (target <= 2 %%)\n",
                wallMs > 0 ? 100.0 * (cpu1 - cpu0) / wallMs : 0.0);
    std::printf("  memory:                     %8ld KiB resident, %ld KiB at most\n", rss, peak);
    std::printf("  reply to subscriber:        %8.2f ms median, %.2f ms p99   (target p99 <= 20 ms)\n",
                Percentile(delaysMs, 0.5), Percentile(delaysMs, 0.99));
    return 0;
}
