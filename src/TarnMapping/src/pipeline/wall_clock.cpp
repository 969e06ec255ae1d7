#include "zel/wall_clock.h"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace zel {

double wallClockSeconds() {
    static std::atomic<int64_t> last{0};
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    int64_t previous = last.load(std::memory_order_relaxed);
    int64_t next;
    do {
        next = now > previous ? now : previous + 1;
    } while (!last.compare_exchange_weak(previous, next, std::memory_order_relaxed));
    return static_cast<double>(next) / 1000.0;
}

}  // namespace zel
