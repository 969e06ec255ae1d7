// A stand-in dense back end for black-box runs: it counts the frames it is
// fed as "Map Fusion" progress and keeps one tile set item up to date.
#include "fw/map.h"
#include "fw/map_frame.h"
#include "fw/map_fusion.h"
#include "zel/node.h"
#include "zel/points_fusion_factory.h"
#include "zel/tileset.h"
#include "zel/wall_clock.h"

#include <algorithm>
#include <vector>

namespace {

class StandInBackEnd : public fw::MapFusion {
public:
    explicit StandInBackEnd(zel::Chain* owner) : node_("Map Fusion", owner) {
        node_.setProgressRecord(ProgressNode("Map Fusion", 0.0, 1.0, 1.0f, -1.0));
    }
    std::string type() const override { return "StandIn"; }
    bool feedMap(const std::shared_ptr<fw::Map>& map) override {
        std::vector<std::shared_ptr<fw::MapFrame>> frames;
        map->getFrames(frames);
        for (const auto& frame : frames) feedFrame(frame);
        return true;
    }
    bool feedFrame(const std::shared_ptr<fw::MapFrame>&) override {
        ++fed_;
        auto dom = std::make_shared<TfTileset>("dom");
        dom->name = "dom_01";
        dom->state = zel::ItemState::Updating;
        dom->location = "stand-in";
        dom->time = zel::wallClockSeconds();
        node_.setOutput(dom);
        const int total = std::max(frameCount(), fed_);
        node_.setProgress(fed_, total);
        return true;
    }

private:
    int frameCount() const { return expectedFrames_ > 0 ? expectedFrames_ : 1; }
    zel::Node node_;
    int fed_ = 0;
};

}  // namespace

std::shared_ptr<fw::MapFusion> createPointsFusionInstance(const std::string&, zel::Chain* owner, void*, void*) {
    return std::make_shared<StandInBackEnd>(owner);
}
