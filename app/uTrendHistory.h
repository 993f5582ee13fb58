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
    // Each channel's measuring range, which its line is drawn against
    // (Min == Max: none known, the line is scaled to what it shows).
    std::array<std::pair<double, double>, 4> Ranges{};

private:
    std::deque<TTrendSample> FSamples;
};

// A pause between two samples longer than this (the timer stopped while
// another page was shown) is a gap in every line, not a straight line.
constexpr int64_t kTrendGapMs = 3000;

// What the chart draws for a time window ending at the last sample: per
// channel the runs of consecutive values (a sample without a value, or a
// pause of more than kTrendGapMs, ends a run, so it shows as a gap), the
// overranged samples to mark, and the range of everything shown.
//
// Channels with different units share one chart, so each is drawn against
// its own scale: a value is given as the share of its channel's Scale (0 at
// Scale.first, 1 at Scale.second) - the measuring range, or, without one,
// what the channel shows in the window.
struct TTrendPoint {
    int64_t TimeMs;
    double Value;
    bool operator==(const TTrendPoint&) const = default;
};
struct TTrendPlot {
    int64_t StartMs = 0;
    int64_t EndMs = 0;
    double Min = 0;  // shares: at least 0 ... 1, and everything shown
    double Max = 1;
    std::array<std::pair<double, double>, 4> Scale{};
    std::array<std::vector<std::vector<TTrendPoint>>, 4> Runs;
    std::array<std::vector<TTrendPoint>, 4> Overrange;
};
TTrendPlot PlotOf(const TTrendHistory& History, int64_t WindowMs);

}  // namespace kelvo
