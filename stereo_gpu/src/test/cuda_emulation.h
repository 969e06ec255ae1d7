#pragma once
// Runs the matcher's kernel sources on the CPU for the tests: every GPU thread
// of a block is a host thread, blocks run one after another (so block-local
// memory can be a function-local static), and warp shuffles, votes and
// barriers meet at per-warp and per-block rendezvous points.

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#define __global__
#define __device__
#define __shared__ static

struct dim3 {
    unsigned x = 1, y = 1, z = 1;
    dim3(unsigned x_ = 1, unsigned y_ = 1, unsigned z_ = 1) : x(x_), y(y_), z(z_) {}
};
struct uint2 {
    uint32_t x, y;
};
struct uint4 {
    uint32_t x, y, z, w;
};
inline uint2 make_uint2(uint32_t x, uint32_t y) { return {x, y}; }
inline uint4 make_uint4(uint32_t x, uint32_t y, uint32_t z, uint32_t w) { return {x, y, z, w}; }

inline thread_local dim3 threadIdx, blockIdx, blockDim, gridDim;

template <class A, class B>
inline std::common_type_t<A, B> min(A a, B b) {
    return b < a ? b : a;
}
template <class A, class B>
inline std::common_type_t<A, B> max(A a, B b) {
    return a < b ? b : a;
}
using std::abs;
inline uint32_t __popc(uint32_t v) { return static_cast<uint32_t>(__builtin_popcount(v)); }
inline uint32_t __popcll(uint64_t v) { return static_cast<uint32_t>(__builtin_popcountll(v)); }
inline float __fmul_rn(float a, float b) { return a * b; }

namespace cudaemu {

// Reusable barrier; threads that finish leave it so the rest do not wait.
class Rendezvous {
public:
    void reset(int parties) {
        parties_ = parties;
        arrived_ = 0;
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        const unsigned long gen = generation_;
        if (++arrived_ >= parties_) {
            release();
            return;
        }
        cv_.wait(lock, [&] { return generation_ != gen; });
    }
    void leave() {
        std::lock_guard<std::mutex> lock(mutex_);
        --parties_;
        if (arrived_ > 0 && arrived_ >= parties_) release();
    }

private:
    void release() {
        arrived_ = 0;
        ++generation_;
        cv_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    int parties_ = 0;
    int arrived_ = 0;
    unsigned long generation_ = 0;
};

// Lanes publish into one of two slot rows, alternating per exchange, so one
// rendezvous per exchange suffices: a row is rewritten only after every lane
// has passed the following exchange and so has read it.
struct Warp {
    Rendezvous rendezvous;
    int size = 32;
    uint64_t slots[2][32] = {};
};

struct Block {
    Rendezvous all;
    std::vector<Warp> warps;
};

inline thread_local Block* currentBlock = nullptr;
inline thread_local int linearThread = 0;
inline thread_local unsigned exchangeCount = 0;

inline Warp& warp() { return currentBlock->warps[linearThread / 32]; }
inline int lane() { return linearThread % 32; }

template <class T>
T exchange(T value, int sourceLane) {
    static_assert(sizeof(T) <= 8, "shuffle of at most 64 bits");
    Warp& w = warp();
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof(T));
    uint64_t* row = w.slots[exchangeCount++ & 1];
    row[lane()] = bits;
    w.rendezvous.wait();
    const uint64_t got = row[sourceLane];
    T out;
    std::memcpy(&out, &got, sizeof(T));
    return out;
}

// Host threads kept for the whole test program, one per GPU thread of the
// largest block so far; each block runs on the first blockDim of them.
class Workers {
public:
    ~Workers() {
        for (auto& w : slots_) {
            std::lock_guard<std::mutex> lock(w->mutex);
            w->stop = true;
            w->cv.notify_one();
        }
        for (auto& w : slots_) w->thread.join();
    }

    void run(int threads, const std::function<void(int)>& job) {
        while (static_cast<int>(slots_.size()) < threads) {
            slots_.push_back(std::make_unique<Slot>());
            Slot* slot = slots_.back().get();
            const int index = static_cast<int>(slots_.size()) - 1;
            slot->thread = std::thread([this, slot, index] { loop(*slot, index); });
        }
        {
            std::lock_guard<std::mutex> lock(doneMutex_);
            remaining_ = threads;
        }
        job_ = &job;
        for (int i = 0; i < threads; ++i) {
            std::lock_guard<std::mutex> lock(slots_[i]->mutex);
            slots_[i]->go = true;
            slots_[i]->cv.notify_one();
        }
        std::unique_lock<std::mutex> lock(doneMutex_);
        done_.wait(lock, [&] { return remaining_ == 0; });
    }

private:
    struct Slot {
        std::mutex mutex;
        std::condition_variable cv;
        bool go = false;
        bool stop = false;
        std::thread thread;
    };

    void loop(Slot& slot, int index) {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(slot.mutex);
                slot.cv.wait(lock, [&] { return slot.go || slot.stop; });
                if (slot.stop) return;
                slot.go = false;
            }
            (*job_)(index);
            std::lock_guard<std::mutex> lock(doneMutex_);
            if (--remaining_ == 0) done_.notify_one();
        }
    }

    std::vector<std::unique_ptr<Slot>> slots_;
    const std::function<void(int)>* job_ = nullptr;
    std::mutex doneMutex_;
    std::condition_variable done_;
    int remaining_ = 0;
};

// Runs kernel() for every thread of grid x block.
inline void launch(dim3 grid, dim3 block, const std::function<void()>& kernel) {
    static Workers workers;
    const int threads = static_cast<int>(block.x * block.y * block.z);
    for (unsigned by = 0; by < grid.y; ++by)
        for (unsigned bx = 0; bx < grid.x; ++bx) {
            Block b;
            b.all.reset(threads);
            b.warps = std::vector<Warp>((threads + 31) / 32);
            for (int i = 0; i < static_cast<int>(b.warps.size()); ++i) {
                b.warps[i].size = std::min(32, threads - 32 * i);
                b.warps[i].rendezvous.reset(b.warps[i].size);
            }
            workers.run(threads, [&](int t) {
                currentBlock = &b;
                linearThread = t;
                exchangeCount = 0;
                threadIdx = dim3(t % block.x, (t / block.x) % block.y, t / (block.x * block.y));
                blockIdx = dim3(bx, by, 0);
                blockDim = block;
                gridDim = grid;
                kernel();
                b.all.leave();
                b.warps[t / 32].rendezvous.leave();
            });
        }
}

}  // namespace cudaemu

inline void __syncthreads() { cudaemu::currentBlock->all.wait(); }
inline void __syncwarp() { cudaemu::warp().rendezvous.wait(); }

template <class T>
T __shfl_sync(unsigned, T v, int src, int width = 32) {
    const int base = cudaemu::lane() - cudaemu::lane() % width;
    return cudaemu::exchange(v, base + src % width);
}
template <class T>
T __shfl_up_sync(unsigned, T v, unsigned delta, int width = 32) {
    const int l = cudaemu::lane();
    const int src = (l % width) >= static_cast<int>(delta) ? l - static_cast<int>(delta) : l;
    return cudaemu::exchange(v, src);
}
template <class T>
T __shfl_down_sync(unsigned, T v, unsigned delta, int width = 32) {
    const int l = cudaemu::lane();
    const int src = (l % width) + static_cast<int>(delta) < width ? l + static_cast<int>(delta) : l;
    return cudaemu::exchange(v, src);
}
template <class T>
T __shfl_xor_sync(unsigned, T v, int mask, int width = 32) {
    const int l = cudaemu::lane();
    const int src = l ^ mask;
    // Sources beyond the lane's own segment give its own value.
    return (src / width == l / width) ? cudaemu::exchange(v, src) : cudaemu::exchange(v, l);
}
inline bool __all_sync(unsigned, bool predicate) {
    cudaemu::Warp& w = cudaemu::warp();
    uint64_t* row = w.slots[cudaemu::exchangeCount++ & 1];
    row[cudaemu::lane()] = predicate ? 1 : 0;
    w.rendezvous.wait();
    bool all = true;
    for (int i = 0; i < w.size; ++i) all = all && row[i] == 1;
    return all;
}
