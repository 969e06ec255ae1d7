#pragma once
// A map located by the front end: its frames, in the order they were added.

#include "fw/gobject.h"

#include <memory>
#include <mutex>
#include <vector>

namespace fw {

class MapFrame;

class Map : public GObject {
public:
    std::string type() const override;

    virtual void addFrame(const std::shared_ptr<MapFrame>& frame);
    // Replaces the vector's contents with the map's frames.
    virtual void getFrames(std::vector<std::shared_ptr<MapFrame>>& frames);
    virtual size_t frameCount();

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<MapFrame>> frames_;
};

}  // namespace fw
