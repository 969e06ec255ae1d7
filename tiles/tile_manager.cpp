#include "tiles/tile_manager.h"

namespace fw {

TileManager::TileManager() : projection_(std::make_shared<MercatorProjection>()) {}
TileManager::~TileManager() = default;

std::string TileManager::type() const { return "TileManager"; }
std::shared_ptr<TileBase> TileManager::GetTile(int, int, int) { return nullptr; }
bool TileManager::SetTile(int, int, int, std::shared_ptr<TileBase>) { return false; }
std::list<TileKey> TileManager::getTileList() { return {}; }
int TileManager::maxZoomLevel() { return area_.z; }
int TileManager::reservedQuery() { return -1; }
bool TileManager::exportMap(const std::string&) { return false; }
TileArea TileManager::getTileArea() { return area_; }
std::shared_ptr<PureProjection> TileManager::getProjection() { return projection_; }
void TileManager::setTileArea(const TileArea& area) { area_ = area; }
void TileManager::setProjection(std::shared_ptr<PureProjection> projection) { projection_ = std::move(projection); }

}  // namespace fw
