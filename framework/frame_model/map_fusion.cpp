#include "fw/map_fusion.h"

namespace fw {

std::string MapFusion::type() const { return "MapFusionNone"; }

bool MapFusion::valid() { return false; }

bool MapFusion::feedMap(const std::shared_ptr<Map>&) { return false; }

bool MapFusion::feedFrame(const std::shared_ptr<MapFrame>&) { return false; }

bool MapFusion::hookD() { return false; }

void MapFusion::setFrameCount(int32_t count) { expectedFrames_ = count; }

bool MapFusion::setContext(void* context) {
    context_ = context;
    return true;
}

}  // namespace fw
