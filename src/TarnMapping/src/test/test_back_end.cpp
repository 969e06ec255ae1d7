// A stand-in dense back end for black-box runs: it counts the frames it is
// fed as "Map Fusion" progress and keeps one tile set item up to date, with
// one small file in the DOM's tiling location so that the item is on disk.
#include "fw/map.h"
#include "fw/map_frame.h"
#include "fw/map_fusion.h"
#include "zel/node.h"
#include "zel/points_fusion_factory.h"
#include "zel/tileset.h"
#include "zel/wall_clock.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

class StandInBackEnd : public fw::MapFusion {
public:
    StandInBackEnd(const std::string& config, zel::Chain* owner) : node_("Map Fusion", owner) {
        const nlohmann::json c = nlohmann::json::parse(config, nullptr, false);
        if (c.is_object()) location_ = c.value(nlohmann::json::json_pointer("/legacy_tf/dom/tiling/location"), "");
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
        if (fed_ == 1 && !location_.empty()) {
            std::error_code ec;
            std::filesystem::create_directories(location_, ec);
            std::ofstream(std::filesystem::path(location_) / "stand-in.png") << "stand-in";
        }
        auto dom = std::make_shared<TfTileset>("dom");
        dom->name = "dom_01";
        dom->state = zel::ItemState::Updating;
        dom->location = location_.empty() ? "stand-in" : location_;
        dom->time = zel::wallClockSeconds();
        node_.setOutput(dom);
        const int total = std::max(frameCount(), fed_);
        node_.setProgress(fed_, total);
        return true;
    }

private:
    int frameCount() const { return expectedFrames_ > 0 ? expectedFrames_ : 1; }
    zel::Node node_;
    std::string location_;
    int fed_ = 0;
};

}  // namespace

std::shared_ptr<fw::MapFusion> createPointsFusionInstance(const std::string& config, zel::Chain* owner, void*,
                                                          void*) {
    return std::make_shared<StandInBackEnd>(config, owner);
}
