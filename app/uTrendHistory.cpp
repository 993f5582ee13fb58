#include "uTrendHistory.h"

#include <algorithm>
#include <cmath>

namespace kelvo {

const char* SampleStateName(TSampleState State)
{
    switch (State) {
    case TSampleState::Ok: return "ok";
    case TSampleState::Invalid: return "invalid";
    case TSampleState::Overrange: return "overrange";
    case TSampleState::NoAnswer: return "no answer";
    }
    return "invalid";
}

TSampleState SampleStateOf(const TKelvoChannelRecountedValue& Value, bool Answered)
{
    if (!Answered)
        return TSampleState::NoAnswer;
    if (!Value.Valid)
        return TSampleState::Invalid;
    return Value.Overrange ? TSampleState::Overrange : TSampleState::Ok;
}

void TTrendHistory::Add(int64_t TimeMs, const std::array<TKelvoChannelRecountedValue, 4>& Values, bool Answered)
{
    TTrendSample s;
    s.TimeMs = TimeMs;
    for (size_t i = 0; i < 4; ++i) {
        s.State[i] = SampleStateOf(Values[i], Answered);
        s.Value[i] = Values[i].Value;
    }
    FSamples.push_back(s);
    while (FSamples.size() > kCapacity)
        FSamples.pop_front();
}

TTrendPlot PlotOf(const TTrendHistory& History, int64_t WindowMs)
{
    TTrendPlot plot;
    plot.EndMs = History.LastTimeMs();
    plot.StartMs = plot.EndMs - WindowMs;
    bool any = false;
    std::array<bool, 4> open{};
    const auto& samples = History.Samples();
    // The first sample inside the window; the history is ordered by time.
    auto first = std::lower_bound(samples.begin(), samples.end(), plot.StartMs,
                                  [](const TTrendSample& S, int64_t T) { return S.TimeMs < T; });
    for (auto it = first; it != samples.end(); ++it) {
        for (size_t i = 0; i < 4; ++i) {
            const TSampleState state = it->State[i];
            const double v = it->Value[i];
            if ((state != TSampleState::Ok && state != TSampleState::Overrange) || !std::isfinite(v)) {
                open[i] = false;
                continue;
            }
            if (!open[i])
                plot.Runs[i].emplace_back();
            open[i] = true;
            plot.Runs[i].back().push_back({it->TimeMs, v});
            if (state == TSampleState::Overrange)
                plot.Overrange[i].push_back({it->TimeMs, v});
            plot.Min = any ? std::min(plot.Min, v) : v;
            plot.Max = any ? std::max(plot.Max, v) : v;
            any = true;
        }
    }
    // Some room above and below; a flat line gets a range of its own.
    const double span = plot.Max - plot.Min;
    const double pad = span > 0 ? span * 0.05 : std::max(1.0, std::abs(plot.Max) * 0.05);
    plot.Min -= pad;
    plot.Max += pad;
    return plot;
}

}  // namespace kelvo
