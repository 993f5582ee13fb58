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
    const auto& samples = History.Samples();
    // The first sample inside the window; the history is ordered by time.
    auto first = std::lower_bound(samples.begin(), samples.end(), plot.StartMs,
                                  [](const TTrendSample& S, int64_t T) { return S.TimeMs < T; });
    auto shown = [](const TTrendSample& S, size_t I) {
        return (S.State[I] == TSampleState::Ok || S.State[I] == TSampleState::Overrange) && std::isfinite(S.Value[I]);
    };
    // Each channel's scale: its range, else what it shows in the window.
    for (size_t i = 0; i < 4; ++i) {
        plot.Scale[i] = History.Ranges[i];
        if (plot.Scale[i].first != plot.Scale[i].second && std::isfinite(plot.Scale[i].first)
            && std::isfinite(plot.Scale[i].second))
            continue;
        bool any = false;
        for (auto it = first; it != samples.end(); ++it)
            if (shown(*it, i)) {
                plot.Scale[i].first = any ? std::min(plot.Scale[i].first, it->Value[i]) : it->Value[i];
                plot.Scale[i].second = any ? std::max(plot.Scale[i].second, it->Value[i]) : it->Value[i];
                any = true;
            }
        if (plot.Scale[i].first == plot.Scale[i].second) {
            // A flat line (or none): a range of its own around it.
            const double pad = std::max(1.0, std::abs(plot.Scale[i].first) * 0.05);
            plot.Scale[i] = {plot.Scale[i].first - pad, plot.Scale[i].second + pad};
        }
    }
    std::array<bool, 4> open{};
    int64_t previous = first == samples.end() ? 0 : first->TimeMs;
    for (auto it = first; it != samples.end(); ++it) {
        if (it->TimeMs - previous > kTrendGapMs)
            open.fill(false);
        previous = it->TimeMs;
        for (size_t i = 0; i < 4; ++i) {
            if (!shown(*it, i)) {
                open[i] = false;
                continue;
            }
            const auto [low, high] = plot.Scale[i];
            const double v = (it->Value[i] - low) / (high - low);
            if (!open[i])
                plot.Runs[i].emplace_back();
            open[i] = true;
            plot.Runs[i].back().push_back({it->TimeMs, v});
            if (it->State[i] == TSampleState::Overrange)
                plot.Overrange[i].push_back({it->TimeMs, v});
            plot.Min = std::min(plot.Min, v);
            plot.Max = std::max(plot.Max, v);
        }
    }
    // Some room above and below.
    const double pad = (plot.Max - plot.Min) * 0.05;
    plot.Min -= pad;
    plot.Max += pad;
    return plot;
}

}  // namespace kelvo
