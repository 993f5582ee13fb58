// Measures the serial port channel against a simulated module on a
// pseudo-terminal at 115200 bit/s:
//  1. a full identification, next to the floor the protocol imposes
//     (30 x (25 + 1 + 1) ms + 100 ms, plus the line time of the replies
//     when the module paces them);
//  2. the CPU time the process uses while the port sits open and idle;
//  3. the time from the last reply byte reaching the pty to Query
//     returning (median of many exchanges);
//  4. the CPU time the process uses while Query waits for a reply that
//     never comes.
//
//   bench_serial [seconds]      (idle time and wait, default 10)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "BenchFigures.h"
#include "uKelvoSession.h"
#include "uMainThreadQueue.h"
#include "uSimPty.h"
#include "uVerdel97.h"
#include "uci_ISerialPortInterface.h"

using namespace kelvo;
using namespace kelvo::bench;

int main(int argc, char** argv)
{
    const int idleSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    TMainThreadQueue::Init();

    char tmpl[] = "/tmp/kelvo-bench-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    setenv("KELVO_PORTS_DIR", dir.c_str(), 1);

    TSimSettings settings = DefaultSimSettings();
    settings.SpeedCode = 10;  // 115200
    TSimModule module(settings);
    TSimPty pty(module);
    std::mutex lastLock;
    Clock::time_point lastReplyByte;
    TSimPtyOptions options;
    options.LinkDir = dir;
    options.PortNumber = 7;
    options.OnTraffic = [&](bool Received, const RawByteString&) {
        if (!Received) {
            std::lock_guard<std::mutex> g(lastLock);
            lastReplyByte = Clock::now();
        }
    };
    pty.Start(options);

    auto port = MakeIntf<TSerialPortInterface>("comport=7;baudrate=115200;active=1");
    if (!port->GetActive()) {
        std::fprintf(stderr, "bench_serial: cannot open the simulated port\n");
        return 1;
    }
    TKelvoSession session;
    session.CurrentInterface = IntfPtr<ICommunicationInterface>(port->AsInterface());
    session.CurrentBaudRate = 115200;

    // 1. Identification, once on the bare pty (bytes move at once) and once
    // with the module pacing its replies at the line speed, as a real line
    // would; the request bytes of the program are not paced by a pty.
    struct TRun {
        double Ms, FloorMs, LineMs;
        size_t Bytes;
    };
    auto identify = [&](bool Paced, TRun& Run) {
        TSimFaults faults;
        faults.SlowLine = Paced;
        module.SetFaults(faults);
        module.ClearLogs();
        const auto start = Clock::now();
        if (!session.ReadModule()) {
            std::fprintf(stderr, "bench_serial: identification failed: %s\n", session.LastError().c_str());
            return false;
        }
        Run.Ms = Ms(Clock::now() - start);
        Run.Bytes = 0;
        for (const auto& r : module.RequestLog())
            Run.Bytes += Paced ? r.Reply.size() : 0;
        Run.LineMs = Run.Bytes * 10.0 * 1000.0 / 115200.0;
        Run.FloorMs = kIdentifyFloorMs + Run.LineMs;
        return true;
    };
    TRun bare{}, paced{};
    if (!identify(false, bare) || !identify(true, paced))
        return 1;
    module.SetFaults({});

    // 2. Idle CPU.
    TMainThreadQueue::Drain();
    const double idleCpu = CpuPercentDuring([&] {
        const auto idle0 = Clock::now();
        while (Ms(Clock::now() - idle0) < idleSeconds * 1000.0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            TMainThreadQueue::Drain();
        }
    });

    // 3. Reply-to-return latency.
    const RawByteString request = BuildVerdel97Packet(0xFE, 0x01, 0xF0, {});
    std::vector<double> latencies;
    for (int i = 0; i < 100; ++i) {
        RawByteString reply;
        port->Query(request, 250, reply, &CheckVerdel97Packet);
        const auto end = Clock::now();
        if (CheckVerdel97Packet(reply) != 0)
            continue;
        std::lock_guard<std::mutex> g(lastLock);
        latencies.push_back(Ms(end - lastReplyByte));
    }

    // 4. A module that never answers.
    TSimFaults silent;
    silent.Silent = true;
    module.SetFaults(silent);
    TMainThreadQueue::Drain();
    const double waitCpu = CpuPercentDuring([&] {
        RawByteString reply;
        port->Query(request, idleSeconds * 1000, reply, &CheckVerdel97Packet);
    });
    module.SetFaults({});

    port->Close(false);
    pty.Stop();
    TMainThreadQueue::Drain();
    std::filesystem::remove_all(dir);

    std::printf("serial port over a pty at 115200 bit/s\n");
    for (const TRun* r : {&bare, &paced}) {
        std::printf("  identification, %s: %7.1f ms, floor %7.1f ms (30 x (25 + 1 + 1) ms + 100 ms + %.1f ms line "
                    "time of %zu reply bytes), ratio %.3f%s\n",
                    r == &bare ? "bare pty   " : "paced reply", r->Ms, r->FloorMs, r->LineMs, r->Bytes,
                    r->Ms / r->FloorMs, r == &bare ? " (target <= 1.02)" : "");
    }
    std::printf("  idle CPU        %8.3f %% of one core over %d s open and idle (target < 1 %%)\n", idleCpu,
                idleSeconds);
    std::printf("  last reply byte to Query return: median %.3f ms over %zu exchanges (target <= 0.2)\n",
                Median(latencies), latencies.size());
    std::printf("  CPU while Query waits %d s for a reply that never comes: %.3f %% of one core (target <= 1 %%)\n",
                idleSeconds, waitCpu);
    return 0;
}
