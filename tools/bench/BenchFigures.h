#pragma once
// Small helpers the benchmark programs share for their figures.

#include <algorithm>
#include <chrono>
#include <vector>

namespace kelvo::bench {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

inline double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace kelvo::bench
