#pragma once
// The front end: locates each frame from its GPS position and gimbal
// attitude (earth-centred world axes) and gives consecutive located frames
// sparse structure matched along their epipolar lines.

#include "sfm/pair_matcher.h"
#include "sfm/slam.h"
#include "zel/node.h"

#include <cstdint>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

class MapFrame;
namespace fw {
class CameraImpl;
class MapPoint;
struct KeyPoint;
}  // namespace fw

namespace sfm {

class FrontEnd : public fw::SLAM, public zel::Node {
public:
    // live: "frame_located" per frame once matched with the next one;
    // otherwise one "map_located" with every frame at finish.
    FrontEnd(bool live, zel::Chain* owner);
    ~FrontEnd() override;

    void setFrameCount(int32_t count) override;
    bool trackFrame(const std::shared_ptr<fw::MapFrame>& frame) override;
    void finish() override;

    // Widest grey copy the corners are looked for in.
    static constexpr int kProcessingWidth = 1024;

private:
    struct Located;

    std::unique_ptr<Located> locate(const std::shared_ptr<fw::MapFrame>& frame);
    void pair(Located& first, Located& second);
    void publish(std::unique_ptr<Located> located);
    void advanceProgress();

    zel::Chain* const owner_;
    const bool live_;
    int32_t frameCount_ = -1;
    int32_t tracked_ = 0;
    uint64_t nextPointId_ = 1;
    std::unique_ptr<Located> previous_;
    std::vector<std::shared_ptr<fw::MapFrame>> located_;  // for the map at finish
};

}  // namespace sfm
