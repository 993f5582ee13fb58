// Measures the FTDI device through the simulated D2XX library at 115200
// bit/s, the module pacing its reply bytes at the line speed, in both of the
// library's event modes: setting iVar and signalling the reader's condition
// variable, and only signalling it (as the D2XX library for Linux does,
// KELVO_FTD2XX_SIM_EVENTS=signal):
//  1. a full identification, next to the floor the protocol imposes
//     (30 x (25 + 1 + 1) ms + 100 ms + the replies' line time);
//  2. the time from the library queueing the last reply bytes to Query
//     returning (median of many exchanges);
//  3. the CPU the process uses while the device sits open and idle (its
//     reader thread's waits);
//  4. the CPU the process uses while Query waits for a reply that never
//     comes (a second device, whose module is silent).
//
//   bench_ftdi [seconds]      (idle time and wait per mode, default 10)
//
// KELVO_FTD2XX may name another build of the simulated library.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "BenchFigures.h"
#include "uKelvoSession.h"
#include "uMainThreadQueue.h"
#include "uVerdel97.h"
#include "uci_FTDIcore.h"

using namespace kelvo;
using namespace kelvo::bench;

namespace {

// Counts the bytes received, for the replies' line time.
struct TReceived {
    size_t Bytes = 0;
    void Trace(ICommunicationInterface*, const RawByteString& Data, uint8_t Direction)
    {
        if (Direction == TraceReceived)
            Bytes += Data.size();
    }
};

// The figures of one mode.
struct TFigures {
    double Identify = 0, Floor = 0, LineMs = 0;
    size_t ReplyBytes = 0;
    double Latency = 0;
    size_t Exchanges = 0;
    double IdleCpu = 0, WaitCpu = -1;
};

bool Measure(bool SignalOnly, int IdleSeconds, int64_t (*LastQueued)(), TFigures& F)
{
    // The library reads the mode when the reader asks for its events.
    if (SignalOnly)
        setenv("KELVO_FTD2XX_SIM_EVENTS", "signal", 1);
    else
        unsetenv("KELVO_FTD2XX_SIM_EVENTS");

    auto device = MakeIntf<TFTDIDevice>(TFTDIDevice::TFromSerialNumber{"FTBENCH"}, std::string());
    if (!device->Open()) {
        std::fprintf(stderr, "bench_ftdi: cannot open the simulated device\n");
        return false;
    }
    TKelvoSession session;
    session.CurrentInterface = IntfPtr<ICommunicationInterface>(device->AsInterface());
    session.CurrentBaudRate = 115200;

    // 1. Identification, median of three.
    std::vector<double> times, floors;
    for (int i = 0; i < 3; ++i) {
        TReceived received;
        SetDataTraceHandler(TDataTraceEvent::Of<&TReceived::Trace>(&received));
        const auto start = Clock::now();
        const bool ok = session.ReadModule();
        times.push_back(Ms(Clock::now() - start));
        SetDataTraceHandler(nullptr);
        if (!ok) {
            std::fprintf(stderr, "bench_ftdi: identification failed: %s\n", session.LastError().c_str());
            return false;
        }
        F.ReplyBytes = received.Bytes;
        floors.push_back(kIdentifyFloorMs + received.Bytes * 10.0 * 1000.0 / 115200.0);
    }
    F.Identify = Median(times);
    F.Floor = Median(floors);
    F.LineMs = F.ReplyBytes * 10.0 * 1000.0 / 115200.0;

    // 2. Queued-to-return latency.
    const RawByteString request = BuildVerdel97Packet(kBroadcastAddress, kRequestSignature, 0xF0, {});
    std::vector<double> latencies;
    for (int i = 0; i < 200; ++i) {
        RawByteString reply;
        device->Query(request, 250, reply, &CheckVerdel97Packet);
        const int64_t end =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
        if (CheckVerdel97Packet(reply) == 0 && LastQueued)
            latencies.push_back((end - LastQueued()) / 1000.0);
    }
    F.Latency = Median(latencies);
    F.Exchanges = latencies.size();

    // 3. Idle CPU with the device open.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    F.IdleCpu = CpuPercentDuring([&] { std::this_thread::sleep_for(std::chrono::seconds(IdleSeconds)); });

    // 4. A module that never answers.
    auto silent = MakeIntf<TFTDIDevice>(TFTDIDevice::TFromSerialNumber{"FTSILENT"}, std::string());
    if (silent->Open()) {
        silent->SetBaudRate(115200);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        F.WaitCpu = CpuPercentDuring([&] {
            RawByteString reply;
            silent->Query(request, IdleSeconds * 1000, reply, &CheckVerdel97Packet);
        });
        silent->Close(false);
    }
    silent = nullptr;
    device->Close(false);
    session.CurrentInterface = nullptr;
    return true;
}

void Print(const char* Mode, int IdleSeconds, const TFigures& F)
{
    std::printf("  %s:\n", Mode);
    std::printf("    identification  %8.1f ms, floor %.1f ms (30 x (25 + 1 + 1) ms + 100 ms + %.1f ms line time of "
                "%zu reply bytes), ratio %.3f (target <= 1.01)\n",
                F.Identify, F.Floor, F.LineMs, F.ReplyBytes, F.Identify / F.Floor);
    std::printf("    reply queued to Query return: median %.3f ms over %zu exchanges (target <= 0.2)\n", F.Latency,
                F.Exchanges);
    std::printf("    idle CPU        %8.3f %% of one core over %d s open and idle (target < 1 %%)\n", F.IdleCpu,
                IdleSeconds);
    std::printf("    CPU while Query waits %d s for a reply that never comes: %.3f %% of one core (target <= 1 %%)\n",
                IdleSeconds, F.WaitCpu);
}

}  // namespace

int main(int argc, char** argv)
{
    const int idleSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    TMainThreadQueue::Init();
    std::string library = KELVO_FTD2XX_SIM;
    if (const char* env = std::getenv("KELVO_FTD2XX"); env && *env)
        library = env;

    char tmpl[] = "/tmp/kelvo-bench-ftdi-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    setenv("KELVO_PORTS_DIR", dir.c_str(), 1);
    std::ofstream(dir + "/usb-FTBENCH") << "model=usb\nspeed=115200\nfaults=slow\n";
    std::ofstream(dir + "/usb-FTSILENT") << "model=usb\nspeed=115200\nfaults=silent\n";
    if (!BindFTDirect(library)) {
        std::fprintf(stderr, "bench_ftdi: cannot load %s\n", library.c_str());
        return 1;
    }
    ftdirect::TLibrary loaded = ftdirect::LoadLibraryFile(library);
    auto* lastQueued = reinterpret_cast<int64_t (*)()>(ftdirect::LibrarySymbol(loaded, "KelvoSimD2XX_LastQueuedMicros"));

    TFigures flagged, signalled;
    const bool ok = Measure(false, idleSeconds, lastQueued, flagged) && Measure(true, idleSeconds, lastQueued, signalled);

    UnbindFTDirect();
    ftdirect::FreeLibraryFile(loaded);
    std::filesystem::remove_all(dir);
    if (!ok)
        return 1;

    std::printf("FTDI device through the simulated D2XX library at 115200 bit/s, replies paced at line speed\n");
    Print("library sets iVar and signals", idleSeconds, flagged);
    Print("library only signals (as D2XX for Linux; KELVO_FTD2XX_SIM_EVENTS=signal)", idleSeconds, signalled);
    return 0;
}
