#pragma once
// Interface of the tile stores and of the tile cache: tiles addressed by
// (x, y, z), the range of tiles held and the map projection. The base holds
// no tile: it answers an empty tile, false and empty lists.
//
// Threads: the base keeps its area and projection without a lock; a store
// used from several threads guards them with its own lock or overrides the
// accessors.

#include "fw/gobject.h"
#include "fw/map_projection.h"
#include "tiles/image_tile.h"
#include "tiles/tile_key.h"

#include <list>
#include <memory>
#include <string>

namespace fw {

class TileManager : public GObject {
public:
    // An empty area and a new Mercator projection.
    TileManager();
    ~TileManager() override;

    std::string type() const override;

    virtual std::shared_ptr<TileBase> GetTile(int x, int y, int z);
    virtual bool SetTile(int x, int y, int z, std::shared_ptr<TileBase> tile);
    virtual std::list<TileKey> getTileList();
    // The store's zoom level: area.z.
    virtual int maxZoomLevel();
    virtual int reservedQuery();
    virtual bool exportMap(const std::string& file);
    virtual TileArea getTileArea();
    virtual std::shared_ptr<PureProjection> getProjection();
    virtual void setTileArea(const TileArea& area);
    virtual void setProjection(std::shared_ptr<PureProjection> projection);

protected:
    TileArea area_;
    std::shared_ptr<PureProjection> projection_;
};

}  // namespace fw
