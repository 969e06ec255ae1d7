#pragma once
// Waits for a condition that no notification announces (another process, a
// flag of the code under test): looks every millisecond until it holds or
// the time is up.

#include <chrono>
#include <thread>

namespace testsupport {

// Whether the condition came to hold within the timeout.
template <class Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace testsupport
