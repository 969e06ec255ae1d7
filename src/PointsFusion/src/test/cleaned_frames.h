#pragma once
// The records the cleaner publishes on "sbt.cleaned_frames", collected as the
// pruner would receive them.

#include "stereo_dense/image_scaled.h"

#include "fw/messenger.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace pftest {

class CleanedFrames {
public:
    CleanedFrames() {
        subscriber_ = fw::Messenger::instance().subscribe("sbt.cleaned_frames", 0, &CleanedFrames::add, this);
    }
    ~CleanedFrames() { subscriber_.shutdown(); }
    void add(const std::shared_ptr<ImageScaled>& r) {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back(r);
    }
    std::vector<uint64_t> ids() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<uint64_t> out;
        for (const auto& r : records_) out.push_back(r->frame->id);
        return out;
    }
    std::vector<std::shared_ptr<ImageScaled>> records() {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<ImageScaled>> records_;
    fw::Subscriber subscriber_;
};

}  // namespace pftest
