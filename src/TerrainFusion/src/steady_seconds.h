#pragma once
// Seconds of the steady clock: the time base of tile time stamps and of the
// eviction window.

#include <chrono>

inline double steadySeconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
               .count() /
           1e9;
}
