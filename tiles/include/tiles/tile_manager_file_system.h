#pragma once
// Tile stores on disk: one serial file per tile (folder/z/x/y.tile), and the
// multi-file store that keeps beside it the tile's DOM as a PNG
// (domFolder/z/z_x_y.png) and its DSM as a TIFF (dsmFolder/z/z_x_y.tiff).
// Files are written to a temporary name and renamed over the old one, so a
// crash leaves either the old file or the whole new one.
//
// Threads: GetTile and SetTile of one store are serialised by its mutex and
// may be called from any thread. The area and projection accessors of the
// base take no lock; set them up before the store is shared.

#include "tiles/terrain_fusion_tile.h"
#include "tiles/tile_manager.h"

#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <vector>

namespace fw {

template <typename TileT>
class TileManagerFileSystem : public TileManager {
public:
    // Creates no directory.
    explicit TileManagerFileSystem(std::string folder);

    std::string type() const override;
    // Empty when the tile's file does not open.
    std::shared_ptr<TileBase> GetTile(int x, int y, int z) override;
    // False, with an ERROR naming the key, for an empty tile, a folder z/x
    // that does not exist (this store makes none) or a file not written.
    bool SetTile(int x, int y, int z, std::shared_ptr<TileBase> tile) override;

    // folder/z/x/y.tile
    std::string tilePath(int x, int y, int z) const;
    const std::string& folder() const { return folder_; }

protected:
    std::string folder_;
    mutable std::mutex mutex_;
    // Serial form of the tile being written, kept from write to write (under mutex_).
    std::vector<uint8_t> serial_;
};

extern template class TileManagerFileSystem<TerrainFusionMultiTile>;

}  // namespace fw

class TileManagerFileSystemMultiFile : public fw::TileManagerFileSystem<TerrainFusionMultiTile> {
public:
    // Empty domFolder or dsmFolder: folder. Creates the three folders; a
    // folder that cannot be made throws std::filesystem::filesystem_error.
    TileManagerFileSystemMultiFile(std::string folder, std::string domFolder, std::string dsmFolder);
    // Logs the timing report.
    ~TileManagerFileSystemMultiFile() override;

    std::string type() const override;
    // A tile comes back only when its .tile, PNG and TIFF exist, decode and
    // have the shapes terrain fusion indexes (tilestore: 256 x 256 DOM and
    // weight, 64 x 64 float elevation, pyramid levels halving from those);
    // otherwise it is absent (a WARNING says why for a wrong or undecodable
    // image).
    std::shared_ptr<fw::TileBase> GetTile(int x, int y, int z) override;
    // Writes the .tile, then the DOM PNG (when the tile has an image) and the
    // DSM TIFF (when it has an elevation). False, with an ERROR naming the
    // key, when any of them is not written; nothing throws out of it.
    bool SetTile(int x, int y, int z, std::shared_ptr<fw::TileBase> tile) override;

    // domFolder/z/z_x_y.png and dsmFolder/z/z_x_y.tiff
    std::string domTilePath(int x, int y, int z) const;
    std::string dsmTilePath(int x, int y, int z) const;
    bool ready() const { return ready_; }

    // Timing samples in nanoseconds: DOM writes {merge, encode, write, total},
    // DSM writes {encode, write, total}, DOM reads {read, decode, split, total}.
    std::list<std::vector<int64_t>> domWriteTimes() const;
    std::list<std::vector<int64_t>> demWriteTimes() const;
    std::list<std::vector<int64_t>> domReadTimes() const;

private:
    std::string domFolder_;
    std::string dsmFolder_;
    bool ready_ = false;
    // Buffers of the DOM being written, kept from write to write (under mutex_).
    std::vector<uint8_t> rgba_;
    std::vector<uint8_t> png_;
    std::list<std::vector<int64_t>> domWriteTimes_;
    std::list<std::vector<int64_t>> demWriteTimes_;
    std::list<std::vector<int64_t>> domReadTimes_;
};

// Sets the zoom level of a manager's area (through the cache it reaches the
// held store).
void setTileAreaZoom(fw::TileManager& manager, int zoom);

// The three lines of the multi-file and MBTiles stores' timing report, each
// logged only when its list has samples.
void logTileTimingReport(const std::list<std::vector<int64_t>>& domWrites,
                         const std::list<std::vector<int64_t>>& demWrites,
                         const std::list<std::vector<int64_t>>& domReads);
