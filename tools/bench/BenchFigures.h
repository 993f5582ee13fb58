#pragma once
// Small helpers the benchmark programs share for their figures.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "uTickUtils.h"

namespace kelvo::bench {

using Clock = std::chrono::steady_clock;

// The floor a full identification cannot go below: 30 transactions, each
// with its 25 ms pause, the 1 ms step before writing and one more
// millisecond (the exchange's first look at the line), plus the 100 ms
// pause after the identification text.
constexpr double kIdentifyFloorMs = 30 * (25.0 + 1 + 1) + 100.0;

inline double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

inline double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The moment the tick counter (GetTickCount32, on the real clock) reached
// Tick, for a tick less than 24 days away.
inline Clock::time_point TickTime(uint32_t Tick)
{
    using std::chrono::milliseconds;
    const int64_t now = std::chrono::duration_cast<milliseconds>(Clock::now().time_since_epoch()).count();
    const int32_t diff = static_cast<int32_t>(Tick - static_cast<uint32_t>(now));
    return Clock::time_point(milliseconds(now + diff));
}

// Percent of one core the process used while Work ran.
inline double CpuPercentDuring(const std::function<void()>& Work)
{
    const uint64_t cpu0 = ProcessCpuMicros();
    const auto wall0 = Clock::now();
    Work();
    const double wallUs = std::chrono::duration<double, std::micro>(Clock::now() - wall0).count();
    return wallUs > 0 ? 100.0 * static_cast<double>(ProcessCpuMicros() - cpu0) / wallUs : 0;
}

}  // namespace kelvo::bench
