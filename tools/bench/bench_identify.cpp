// Measures the exchange against the in-process simulated module:
//  1. a full identification, next to the floor the protocol imposes
//     (30 x (25 + 1 + 1) ms + 100 ms), and the median time each
//     transaction takes beyond its 25 ms pause;
//  2. the time from the reply becoming readable to Query returning
//     (median of many exchanges, the module answering 3 ms after the
//     request);
//  3. the CPU the process uses while Query waits for a reply that never
//     comes.
//
//   bench_identify [runs] [wait seconds]      (defaults 5 and 10)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "BenchFigures.h"
#include "uKelvoSession.h"
#include "uSimSerialInterface.h"
#include "uVerdel97.h"

using namespace kelvo;
using namespace kelvo::bench;

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int waitSeconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    auto module = std::make_shared<TSimModule>(DefaultSimSettings());
    auto channel = MakeIntf<TSimSerialInterface>(module, "SIM1", "baudrate=9600");
    channel->Open();
    TKelvoSession session;
    session.CurrentInterface = IntfPtr<ICommunicationInterface>(channel->AsInterface());
    session.CurrentBaudRate = 9600;

    // 1. The session's own transaction, timed call by call.
    std::vector<double> overheads;
    const TVerdelTransactionCallback timed = [&](uint8_t Instruction, const RawByteString& Data,
                                                 RawByteString& Reply, uint8_t Address, int32_t TimeoutMs) {
        const auto start = Clock::now();
        const bool ok = session.TransactWithSpeedTimeout(Instruction, Data, Reply, Address, TimeoutMs);
        overheads.push_back(Ms(Clock::now() - start) - 25.0);
        return ok;
    };
    std::vector<double> totals;
    for (int i = 0; i < runs; ++i) {
        TKelvorec rec;
        const size_t before = overheads.size();
        const auto start = Clock::now();
        const bool ok = IdentifyModule(rec, kBroadcastAddress, timed);
        totals.push_back(Ms(Clock::now() - start));
        if (!ok || overheads.size() - before != 30) {
            std::fprintf(stderr, "bench_identify: identification failed or took %zu transactions\n",
                         overheads.size() - before);
            return 1;
        }
    }

    // 2. Readable to return: the reply becomes readable the moment the tick
    // counter reaches its due time.
    TSimSettings delayed = DefaultSimSettings();
    delayed.ReplyDelayMs = 3;
    auto lateModule = std::make_shared<TSimModule>(delayed);
    auto late = MakeIntf<TSimSerialInterface>(lateModule, "SIM2", "baudrate=9600");
    late->Open();
    const RawByteString request = BuildVerdel97Packet(kBroadcastAddress, kRequestSignature, 0xF0, {});
    std::vector<double> latencies;
    for (int i = 0; i < 200; ++i) {
        RawByteString reply;
        late->Query(request, 250, reply, &CheckVerdel97Packet);
        const auto end = Clock::now();
        const std::vector<TSimRequest> log = lateModule->RequestLog();
        if (CheckVerdel97Packet(reply) == 0 && !log.empty())
            latencies.push_back(Ms(end - TickTime(log.back().Time + delayed.ReplyDelayMs)));
    }

    // 3. A module that never answers.
    TSimFaults silent;
    silent.Silent = true;
    module->SetFaults(silent);
    const double waitCpu = CpuPercentDuring([&] {
        RawByteString reply;
        channel->Query(request, waitSeconds * 1000, reply, &CheckVerdel97Packet);
    });

    const double total = Median(totals);
    std::printf("in-process simulator at 9600 bit/s\n");
    std::printf("  identification  %8.1f ms, median of %d runs; floor %.1f ms (30 x (25 + 1 + 1) ms + 100 ms), "
                "ratio %.3f (target <= 1.01)\n",
                total, runs, kIdentifyFloorMs, total / kIdentifyFloorMs);
    std::printf("  per transaction %8.2f ms beyond the 25 ms pause, median\n", Median(overheads));
    std::printf("  reply readable to Query return: median %.3f ms over %zu exchanges (target <= 0.2)\n",
                Median(latencies), latencies.size());
    std::printf("  CPU while Query waits %d s for a reply that never comes: %.3f %% of one core (target <= 1 %%)\n",
                waitSeconds, waitCpu);
    return 0;
}
