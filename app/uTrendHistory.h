#pragma once
// The recent past of the four measured values, for the trend page: one
// sample per measurement tick and channel, the last hour kept (older
// samples are dropped), cleared when the module is disconnected. Plain
// data without Qt; the chart draws from it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "uKelvoxx.h"

namespace kelvo {

// What a tick brought for one channel.
enum class TSampleState : uint8_t { Ok, Invalid, Overrange, NoAnswer };

// "ok", "invalid", "overrange", "no answer".
const char* SampleStateName(TSampleState State);
TSampleState SampleStateOf(const TKelvoChannelRecountedValue& Value, bool Answered);

struct TTrendSample {
    int64_t TimeMs = 0;  // milliseconds on a steady clock, growing
    std::array<double, 4> Value{};
    std::array<TSampleState, 4> State{};
};

class TTrendHistory {
public:
    static constexpr size_t kCapacity = 3600;  // an hour of once-a-second ticks

    void Add(int64_t TimeMs, const std::array<TKelvoChannelRecountedValue, 4>& Values, bool Answered);
    void Clear() { FSamples.clear(); }
    const std::deque<TTrendSample>& Samples() const { return FSamples; }
    bool Empty() const { return FSamples.empty(); }
    int64_t LastTimeMs() const { return FSamples.empty() ? 0 : FSamples.back().TimeMs; }

    // The channels' names and units for the legend (module texts).
    std::array<std::string, 4> Names;
    std::array<std::string, 4> Units;

private:
    std::deque<TTrendSample> FSamples;
};

// What the chart draws for a time window ending at the last sample: per
// channel the runs of consecutive values (a sample without a value ends a
// run, so it shows as a gap), the overranged samples to mark, and the value
// range of everything shown.
struct TTrendPoint {
    int64_t TimeMs;
    double Value;
    bool operator==(const TTrendPoint&) const = default;
};
struct TTrendPlot {
    int64_t StartMs = 0;
    int64_t EndMs = 0;
    double Min = 0;
    double Max = 1;
    std::array<std::vector<std::vector<TTrendPoint>>, 4> Runs;
    std::array<std::vector<TTrendPoint>, 4> Overrange;
};
TTrendPlot PlotOf(const TTrendHistory& History, int64_t WindowMs);

}  // namespace kelvo
