#include "pointsfusion/terrain_factory.h"

#include <mutex>

namespace {

std::mutex& factoryMutex() {
    static std::mutex mutex;
    return mutex;
}

TerrainFactory& factory() {
    static TerrainFactory current;
    return current;
}

}  // namespace

TerrainNode makeTerrainNode(const std::string& config, zel::Chain* owner) {
    TerrainFactory chosen;
    {
        std::lock_guard<std::mutex> lock(factoryMutex());
        chosen = factory();
    }
    return chosen ? chosen(config, owner) : builtInTerrainNode(config, owner);
}

void setTerrainFactory(TerrainFactory replacement) {
    std::lock_guard<std::mutex> lock(factoryMutex());
    factory() = std::move(replacement);
}
