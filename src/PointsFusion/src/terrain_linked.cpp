// The terrain fusion library's factory, with this module's messenger and log sinks.
#include "pointsfusion/terrain_factory.h"

#include "fw/log.h"
#include "fw/messenger.h"
#include "terrain/terrain_fusion.h"

TerrainNode builtInTerrainNode(const std::string& config, zel::Chain* owner) {
    TerrainNode made;
    std::shared_ptr<TerrainFusion> node =
        createTerrainFusionInstance(config, owner, &fw::Messenger::instance(), &fw::getLogSinks());
    if (!node) return made;
    made.setUpOk = node->setUpOk();
    made.node = std::static_pointer_cast<fw::MapFusion>(node);
    return made;
}
