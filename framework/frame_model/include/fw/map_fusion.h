#pragma once
// Interface of a fusion back end: it takes located maps and frames.

#include "fw/gobject.h"

#include <cstdint>
#include <memory>
#include <string>

namespace fw {

class Map;
class MapFrame;

class MapFusion : public GObject {
public:
    std::string type() const override;

    virtual bool valid();
    // The base drops the map and answers false.
    virtual bool feedMap(const std::shared_ptr<Map>& map);
    virtual bool feedFrame(const std::shared_ptr<MapFrame>& frame);
    // Reserved: false.
    virtual bool hookD();
    // The number of frames to expect, -1 until it is set.
    virtual void setFrameCount(int32_t count);
    virtual bool setContext(void* context);

    int32_t frameCount() const { return expectedFrames_; }
    void* context() const { return context_; }

protected:
    void* context_ = nullptr;
    int32_t expectedFrames_ = -1;
};

}  // namespace fw
