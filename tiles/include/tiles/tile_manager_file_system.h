#pragma once
// Tile stores on disk: one serial file per tile (folder/z/x/y.tile), and the
// multi-file store that keeps beside it the tile's DOM as a PNG
// (domFolder/z/z_x_y.png) and its DSM as a TIFF (dsmFolder/z/z_x_y.tiff);
// the blobs themselves are made and read by TilePayloadStore, which the
// MBTiles store shares. Files are
// written to a temporary name and renamed over the old one, so a crash
// leaves either the old file or the whole new one.
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

// The serial files alone.
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

// ---- the payload pipeline of the multi-file and MBTiles stores
//
// A tile travels as three blobs: its serial form, its DOM as an RGBA PNG and
// its DSM as a TIFF. They are made and read back here, with the timing
// samples of both stores; a store says only where a blob is put and where it
// is got from. readTile and writeTile run with the store's mutex held (its
// GetTile and SetTile take it), and so do the blob calls they make; the
// timing accessors take it themselves.
class TilePayloadStore : public fw::TileManagerFileSystem<TerrainFusionMultiTile> {
public:
    // Timing samples in nanoseconds: DOM writes {merge, encode, write, total},
    // DSM writes {encode, write, total}, DOM reads {read, decode, split, total}.
    std::list<std::vector<int64_t>> domWriteTimes() const;
    std::list<std::vector<int64_t>> demWriteTimes() const;
    std::list<std::vector<int64_t>> domReadTimes() const;

protected:
    enum class Blob { Tile, Dom, Dsm };

    // The store's own message texts.
    struct Texts {
        // Leads the messages of reads and writes: "<store> - ".
        std::string prefix;
        // Around the key when the tile does not serialise.
        std::string serialiseLead, serialiseTail;
        // Logged when a tile read back has no weight; empty: nothing.
        std::string missingWeight;
    };

    // pngFlags: PngCodec::encodeImage's flags for the DOM.
    TilePayloadStore(std::string folder, Texts texts, uint32_t pngFlags);

    // With mutex_ held. The tile from its three blobs; empty when a blob is
    // missing, an image does not decode or a shape is not the one terrain
    // fusion indexes (a WARNING says which).
    std::shared_ptr<fw::TileBase> readTile(int x, int y, int z);
    // With mutex_ held. Puts the serial form, then the DOM (when the tile has
    // an image) and the DSM (when it has an elevation). False, with an ERROR
    // naming the key, when one of them is not put; nothing throws out of it.
    bool writeTile(int x, int y, int z, const std::shared_ptr<fw::TileBase>& tile);
    // The three lines of the timing report (call from the store's destructor).
    void logTimingReport() const;

    // The blob at the key. False when it is missing or was not read (the
    // store logs what failed); an empty blob counts as missing.
    virtual bool getBlob(Blob blob, int x, int y, int z, std::vector<uint8_t>& bytes) = 0;
    // False, with an ERROR, when the blob was not put.
    virtual bool putBlob(Blob blob, int x, int y, int z, const std::vector<uint8_t>& bytes) = 0;
    // How an encoding failure names the blob: keyAndReason is the key, with
    // ": " and the reason when one is known.
    virtual std::string blobName(Blob blob, int x, int y, int z, const std::string& keyAndReason) const = 0;

private:
    Texts texts_;
    uint32_t pngFlags_;
    // Buffers of the DOM being written, kept from write to write.
    std::vector<uint8_t> rgba_;
    std::vector<uint8_t> png_;
    std::list<std::vector<int64_t>> domWriteTimes_;
    std::list<std::vector<int64_t>> demWriteTimes_;
    std::list<std::vector<int64_t>> domReadTimes_;
};

class TileManagerFileSystemMultiFile : public TilePayloadStore {
public:
    // Empty domFolder or dsmFolder: folder. Creates the three folders; a
    // folder that cannot be made throws std::filesystem::filesystem_error.
    TileManagerFileSystemMultiFile(std::string folder, std::string domFolder, std::string dsmFolder);
    // Logs the timing report.
    ~TileManagerFileSystemMultiFile() override;

    std::string type() const override;
    // A tile comes back only when its .tile, PNG and TIFF exist, decode and
    // have the shapes terrain fusion indexes (TerrainTileShape: 256 x 256 DOM
    // and weight, 64 x 64 float elevation, pyramid levels halving from
    // those); otherwise it is absent (a WARNING says why for a wrong or
    // undecodable image).
    std::shared_ptr<fw::TileBase> GetTile(int x, int y, int z) override;
    // Writes the .tile, then the DOM PNG (when the tile has an image) and the
    // DSM TIFF (when it has an elevation). False, with an ERROR naming the
    // key, when any of them is not written; nothing throws out of it.
    bool SetTile(int x, int y, int z, std::shared_ptr<fw::TileBase> tile) override;

    // domFolder/z/z_x_y.png and dsmFolder/z/z_x_y.tiff
    std::string domTilePath(int x, int y, int z) const;
    std::string dsmTilePath(int x, int y, int z) const;
    bool ready() const { return ready_; }

protected:
    // The three files of a tile.
    bool getBlob(Blob blob, int x, int y, int z, std::vector<uint8_t>& bytes) override;
    bool putBlob(Blob blob, int x, int y, int z, const std::vector<uint8_t>& bytes) override;
    std::string blobName(Blob blob, int x, int y, int z, const std::string& keyAndReason) const override;

private:
    std::string pathOf(Blob blob, int x, int y, int z) const;

    std::string domFolder_;
    std::string dsmFolder_;
    bool ready_ = false;
};

// Sets the zoom level of a manager's area (through the cache it reaches the
// held store).
void setTileAreaZoom(fw::TileManager& manager, int zoom);

// The three lines of the multi-file and MBTiles stores' timing report, each
// logged only when its list has samples.
void logTileTimingReport(const std::list<std::vector<int64_t>>& domWrites,
                         const std::list<std::vector<int64_t>>& demWrites,
                         const std::list<std::vector<int64_t>>& domReads);
