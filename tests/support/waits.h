#pragma once
// Elapsed time and generous waits (seconds, to catch hangs) for tests on real threads.
#include <chrono>
#include <functional>
#include <thread>

using Clock = std::chrono::steady_clock;

inline long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

inline void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Polls every 5 ms until the condition holds; false if it still does not after boundMs.
inline bool waitUntil(const std::function<bool()>& condition, int boundMs = 10000) {
    for (const auto start = Clock::now(); !condition(); sleepMs(5))
        if (msSince(start) > boundMs) return condition();
    return true;
}
