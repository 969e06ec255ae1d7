#pragma once
// How the frame handler obtains the terrain fusion node: through a factory
// that the terrain library provides, and that tests and stand-in programs
// may replace.
//
// Threads: the factory may be replaced and used from any thread.

#include "fw/gobject.h"

#include <functional>
#include <memory>
#include <string>

namespace zel {
class Chain;
}

struct TerrainNode {
    // Takes the command "point_cloud" with a dv::Var* [frame, world points];
    // empty when the node cannot be made.
    std::shared_ptr<fw::GObject> node;
    // False when the node was made but its set-up failed.
    bool setUpOk = false;
};

// config: the "legacy_tf" object as compact JSON; owner: the node's parent.
using TerrainFactory = std::function<TerrainNode(const std::string& config, zel::Chain* owner)>;

// Makes the node through the factory in force.
TerrainNode makeTerrainNode(const std::string& config, zel::Chain* owner);
// Replaces the factory; an empty function restores the built-in one.
void setTerrainFactory(TerrainFactory factory);
// The terrain library's factory.
TerrainNode builtInTerrainNode(const std::string& config, zel::Chain* owner);
