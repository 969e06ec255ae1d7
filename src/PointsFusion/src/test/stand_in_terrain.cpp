// zel_mapper with a stand-in terrain fusion node: it logs the points of every
// frame it is given and keeps nothing, so that whole runs of the dense back
// end can be checked apart from terrain fusion.
#include "dv/var.h"
#include "fw/log.h"
#include "fw/map_frame.h"
#include "pointsfusion/terrain_factory.h"
#include "pt/point.h"

#include <vector>

namespace {

class StandInTerrain : public fw::GObject {
public:
    ~StandInTerrain() override { FW_LOG(Info) << "stand-in terrain: released after " << frames_ << " frames"; }
    void call(const std::string& command, void* arg) override {
        if (command != "point_cloud" || !arg) return;
        const dv::Var& message = *static_cast<dv::Var*>(arg);
        const auto frame = message[0].convert<std::shared_ptr<fw::MapFrame>>();
        const auto points = message[1].convert<std::vector<pt::Point3_<double>>>();
        ++frames_;
        FW_LOG(Info) << "stand-in terrain: frame " << (frame ? frame->id : 0) << ", " << points.size() << " points";
    }

private:
    int frames_ = 0;  // one caller at a time: the pruner's thread
};

const bool installed = [] {
    setTerrainFactory([](const std::string&, zel::Chain*) {
        TerrainNode made;
        made.node = std::make_shared<StandInTerrain>();
        made.setUpOk = true;
        return made;
    });
    return true;
}();

}  // namespace
