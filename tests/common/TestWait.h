#pragma once
// Waiting for something another thread does, with a generous limit.

#include <chrono>
#include <functional>
#include <thread>

namespace kelvo::test {

inline bool WaitUntil(const std::function<bool()>& Done, int Ms = 3000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    while (!Done()) {
        if (std::chrono::steady_clock::now() >= end)
            return Done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline long long MsSince(std::chrono::steady_clock::time_point Start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - Start).count();
}

}  // namespace kelvo::test
