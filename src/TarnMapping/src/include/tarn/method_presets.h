#pragma once
// Fixed per-method defaults that the start-up merges under the user's sections.

#include <nlohmann/json.hpp>

namespace tarn {

struct MethodPresets {
    nlohmann::json locateDefault;
    nlohmann::json legacySfmConfig;
    nlohmann::json zelSlam3Config;
    nlohmann::json denseDefault;
    nlohmann::json domDefault;
    nlohmann::json dsmDefault;
    nlohmann::json legacyPfConfig;
    nlohmann::json zelPixfuseConfig;
    nlohmann::json terrainFusionBase;
    nlohmann::json domFixedTiling;
    nlohmann::json dsmFixedTiling;
};

// Built once, on first use.
const MethodPresets& methodPresets();

}  // namespace tarn
