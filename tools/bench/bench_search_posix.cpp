// Measures kelvoctl's search of many interfaces: 16 simulated ports on
// pseudo-terminals, 4 of them with a module (each at a speed of its own),
// every one of the 11 speeds checked. Prints the wall and CPU time of the
// search one port after the other (--jobs 1) and all at once, and the wall
// time of the slowest port searched alone (a silent port, or a module).
//
//   bench_search [runs]     (each figure the median of this many, default 1)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BenchFigures.h"
#include "uSimPty.h"

using namespace kelvo;
using namespace kelvo::bench;

namespace {

struct TFigures {
    double WallMs = 0;
    double CpuMs = 0;
};

// kelvoctl with Args, its output thrown away; wall time and the CPU time
// (user and system) it used.
TFigures Run(const std::vector<std::string>& Args)
{
    std::vector<std::string> argv{KELVOCTL_EXE};
    argv.insert(argv.end(), Args.begin(), Args.end());
    std::vector<char*> ptrs;
    for (auto& a : argv)
        ptrs.push_back(a.data());
    ptrs.push_back(nullptr);
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execv(ptrs[0], ptrs.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    TFigures f;
    f.WallMs = Ms(Clock::now() - start);
    f.CpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
              (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) > 1)
        std::fprintf(stderr, "bench_search: kelvoctl ended with status %d\n", status);
    return f;
}

TFigures Median(const std::vector<std::string>& Args, int Runs)
{
    std::vector<double> wall, cpu;
    for (int i = 0; i < Runs; ++i) {
        const TFigures f = Run(Args);
        wall.push_back(f.WallMs);
        cpu.push_back(f.CpuMs);
    }
    return {bench::Median(wall), bench::Median(cpu)};
}

}  // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
    char tmpl[] = "/tmp/kelvo-bench-XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    ::setenv("KELVO_PORTS_DIR", dir.c_str(), 1);

    // COM1-COM16; modules on COM3 (9600), COM7 (19200), COM11 (57600) and
    // COM15 (230400); the others silent.
    const std::pair<unsigned, uint8_t> withModule[] = {{3, 6}, {7, 7}, {11, 9}, {15, 11}};
    std::vector<std::unique_ptr<TSimModule>> modules;
    std::vector<std::unique_ptr<TSimPty>> ptys;
    for (unsigned port = 1; port <= 16; ++port) {
        TSimSettings s = DefaultSimSettings(TSimModel::KelvoRS);
        s.Faults.Silent = true;
        for (const auto& [p, code] : withModule)
            if (p == port) {
                s.Faults.Silent = false;
                s.SpeedCode = code;
                s.SerialNumber = static_cast<uint16_t>(port);
            }
        modules.push_back(std::make_unique<TSimModule>(s));
        ptys.push_back(std::make_unique<TSimPty>(*modules.back()));
        TSimPtyOptions options;
        options.LinkDir = dir;
        options.PortNumber = port;
        ptys.back()->Start(options);
    }

    // The slowest port alone: a silent one, or one of the modules (the one
    // at 230400 bit/s is found at the last speed, then read).
    TFigures alone;
    std::string slowest;
    for (const char* port : {"COM2", "COM3", "COM7", "COM11", "COM15"}) {
        const TFigures f = Median({"search", "--speeds", "all", "--port", port}, runs);
        if (f.WallMs > alone.WallMs)
            alone = f, slowest = port;
    }
    const TFigures sequential = Median({"search", "--speeds", "all", "--jobs", "1"}, runs);
    const TFigures parallel = Median({"search", "--speeds", "all"}, runs);

    for (auto& p : ptys)
        p->Stop();
    std::filesystem::remove_all(dir);

    std::printf("search of 16 ports (4 modules), 11 speeds each, median of %d run(s):\n", runs);
    std::printf("  slowest port alone, %-6s     %8.1f ms wall\n", (slowest + ":").c_str(), alone.WallMs);
    std::printf("  one after the other:          %8.1f ms wall  %7.1f ms CPU\n", sequential.WallMs, sequential.CpuMs);
    std::printf("  all at once:                  %8.1f ms wall  %7.1f ms CPU\n", parallel.WallMs, parallel.CpuMs);
    std::printf("  all at once / slowest alone:  %8.3f   (target <= 1.2)\n", parallel.WallMs / alone.WallMs);
    std::printf("  CPU all at once / in turn:    %8.3f   (target <= 1.2)\n", parallel.CpuMs / sequential.CpuMs);
    return 0;
}
