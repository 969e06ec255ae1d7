#pragma once
// The structure-from-motion front end as the mapping job drives it.

#include <cstdint>
#include <memory>
#include <string>

namespace fw {

class MapFrame;

class SLAM {
public:
    virtual ~SLAM() = default;
    // The number of frames to come (-1 when unknown); once, before the first.
    virtual void setFrameCount(int32_t count) = 0;
    // Takes what it needs of the frame, whose pixels the caller releases after.
    virtual bool trackFrame(const std::shared_ptr<MapFrame>& frame) = 0;
    // After the last frame; every event has been delivered when it returns.
    virtual void finish() = 0;
};

}  // namespace fw

namespace zel {
class Chain;
}

// config: the front end's chain item "config" as compact JSON; owner: the
// chain that receives "frame_located" and "map_located"; messenger and
// logSinks: the host's fw::Messenger* and std::shared_ptr<fw::LogSinkSet>*.
std::shared_ptr<fw::SLAM> createSfmInstance(const std::string& config, zel::Chain* owner, void* messenger,
                                            void* logSinks);
