#pragma once
// Tile store in three SQLite databases: dom.mbtiles (the DOM as RGBA PNG),
// dsm.mbtiles (the DSM as TIFF) and tile.db (the tile's serial form), each
// with a tiles table addressed by zoom, column and TMS row (row 0 south).
// The store works only on databases that it creates itself: a folder that
// already holds one of its files is refused at set-up. The metadata rows
// (bounds, center, minzoom, maxzoom) are written when the store is destroyed.
//
// The blobs themselves are made and read by TilePayloadStore, which the
// multi-file store shares.
//
// Threads: GetTile and SetTile hold the store's mutex (the folder store's)
// for their whole run. The connections are also used by the cache's batch
// write-back, which runs under the cache's lock while the cache is the only
// caller of this store. The destructor takes no lock: destroy the store
// after its last user.

#include "tiles/terrain_fusion_tile.h"
#include "tiles/tile_manager_file_system.h"

#include <cstdint>
#include <list>
#include <string>
#include <vector>

struct sqlite3;

class TileManagerFileSystemMultiFileMbtiles : public TilePayloadStore {
public:
    // Empty domFolder or dsmFolder: folder; a folder named *.mbtiles stands
    // for its parent. Creates the folders (a failure throws
    // std::filesystem::filesystem_error) and the three databases. A database
    // that exists already or cannot be created is reported as an ERROR and
    // leaves the store not ready(); a store that is not ready reads no tile
    // and writes none.
    TileManagerFileSystemMultiFileMbtiles(std::string folder, std::string domFolder, std::string dsmFolder);
    // Timing report, metadata rows, connections closed.
    ~TileManagerFileSystemMultiFileMbtiles() override;

    std::string type() const override;
    // The tile from its three rows; absent when a row is missing, an image
    // does not decode or a shape is not the one terrain fusion indexes (a
    // WARNING says which).
    std::shared_ptr<fw::TileBase> GetTile(int x, int y, int z) override;
    // Writes the tile.db row, then the DOM row (when the tile has an image)
    // and the DSM row (when it has an elevation). False, with an ERROR naming
    // the key, when one of them is not written.
    bool SetTile(int x, int y, int z, std::shared_ptr<fw::TileBase> tile) override;

    // Creates a database with the store's schema (metadata table and rows
    // only for a non-empty format). False, with the reason logged, when
    // anything exists at path or a statement fails; handle then holds what
    // sqlite3_open left (close it).
    static bool CrateMbtilesDatabase(const std::string& path, sqlite3*& handle, const std::string& name,
                                     const std::string& format);
    // 2^z - 1 - y: row 0 lies at the south edge.
    static int tmsRow(int y, int z);
    // The blobs of the DOM and DSM rows, as SetTile writes them (RGBA PNG
    // with PngCodec flags 0; the DSM with -1e9 where the weight is 0).
    static bool encodeDomPng(const TerrainFusionMultiTile& tile, std::vector<uint8_t>& png, std::string& error);
    static bool encodeDsmTiff(const TerrainFusionMultiTile& tile, std::vector<uint8_t>& tiff, std::string& error);

    // All three databases created and open.
    bool ready() const { return domDb_ && dsmDb_ && tileDb_; }
    const std::string& domPath() const { return domPath_; }
    const std::string& dsmPath() const { return dsmPath_; }
    const std::string& tileDbPath() const { return tileDbPath_; }
    // The connections, for the batch write-back; null when not open.
    sqlite3* domDb() const { return domDb_; }
    sqlite3* dsmDb() const { return dsmDb_; }
    sqlite3* tileDb() const { return tileDb_; }

protected:
    // The rows of a tile: tile.db, dom.mbtiles and dsm.mbtiles.
    bool getBlob(Blob blob, int x, int y, int z, std::vector<uint8_t>& bytes) override;
    bool putBlob(Blob blob, int x, int y, int z, const std::vector<uint8_t>& bytes) override;
    std::string blobName(Blob blob, int x, int y, int z, const std::string& keyAndReason) const override;

private:
    void closeAll();

    std::string domPath_;
    std::string dsmPath_;
    std::string tileDbPath_;
    sqlite3* domDb_ = nullptr;
    sqlite3* dsmDb_ = nullptr;
    sqlite3* tileDb_ = nullptr;
};
