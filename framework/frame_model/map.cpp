#include "fw/map.h"

namespace fw {

std::string Map::type() const { return "Map"; }

void Map::addFrame(const std::shared_ptr<MapFrame>& frame) {
    if (!frame) return;
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.push_back(frame);
}

void Map::getFrames(std::vector<std::shared_ptr<MapFrame>>& frames) {
    std::lock_guard<std::mutex> lock(mutex_);
    frames = frames_;
}

size_t Map::frameCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
}

}  // namespace fw
