#pragma once
// Least-recently-used tile cache in front of a tile store. Tiles read stay in
// memory (absences too); a modified tile reaches the store when it leaves the
// cache, on "saveCache" and when the cache is destroyed.
//
// A tile handed out by GetTile counts as held until the caller's last copy of
// that pointer is gone. A held tile is neither evicted nor written: the cache
// grows past its capacity meanwhile and evicts (writes) the tile once the
// last copy is released; a "saveCache" that meets a held tile writes it at
// that release. A tile given to SetTile belongs to the cache from then on:
// change it again only through a pointer from GetTile. A write that fails
// keeps the tile cached and modified, so the next "saveCache" or the flush at
// destruction writes it again.
//
// Threads: every operation may be called from any thread. GetTile, SetTile,
// "saveCache", checkTile, the release of a held tile and the destructor hold
// the cache's mutex for their whole run and call the store inside it (cache
// lock, then store lock). The forwarding accessors (zoom, area, projection,
// exportMap) take no cache lock. A caller must not hold a lock that the store
// takes when it drops a tile pointer from GetTile.

#include "tiles/tile_key.h"
#include "tiles/tile_manager.h"

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace fw {

// Result of an eviction by age: entries removed, entries left in the cache.
struct EvictionResult {
    uint32_t evicted = 0;
    uint32_t remaining = 0;
};

class TileManagerCached : public TileManager {
public:
    // One cached tile, or the absence of one (empty tile). owner points at
    // the cache's held store. Destroying a holder whose tile is modified
    // writes it to that store with the tile's own key (errors are logged,
    // nothing throws); the cache writes its tiles itself before it drops a
    // holder, so this covers holders that others take out of the list.
    class Holder {
    public:
        Holder(std::shared_ptr<TileBase> tile, std::shared_ptr<TileManager>* owner);
        ~Holder();
        Holder(const Holder&) = delete;
        Holder& operator=(const Holder&) = delete;

        // Writes a modified tile at its own key; clears the flag when written.
        // True when there was nothing to write or it was written; a failure
        // is logged and marks the holder writeFailed.
        bool write();
        // Writes a modified tile at key, with the flags set as write() sets
        // them, and logs nothing: on failure error holds the exception's
        // text ("unknown exception" for one of another type), empty when the
        // store answered false.
        bool write(const TileKey& key, std::string& error);

        std::shared_ptr<TileBase> tile;
        std::shared_ptr<TileManager>* owner;
        // A "saveCache" met the tile while it was held.
        bool flushPending = false;
        // Its last write failed; evictions pass it by until a flush writes it.
        bool writeFailed = false;
    };

    struct TileCacheEntry {
        TileKey key;
        std::shared_ptr<Holder> holder;
    };
    using LruList = std::list<TileCacheEntry>;

    TileManagerCached(std::shared_ptr<TileManager> held, uint32_t capacity);
    // Writes every modified tile still cached; a tile whose write fails is
    // counted in one ERROR line.
    ~TileManagerCached() override;

    std::string type() const override;
    // "saveCache": writes every modified cached tile. Other commands go to
    // the held store.
    void call(const std::string& command, void* arg) override;
    std::shared_ptr<TileBase> GetTile(int x, int y, int z) override;
    // Caches the tile (replacing, unwritten, the one at the key) and widens
    // the area at the store's zoom level. Writes nothing.
    bool SetTile(int x, int y, int z, std::shared_ptr<TileBase> tile) override;
    int maxZoomLevel() override;
    bool exportMap(const std::string& file) override;
    TileArea getTileArea() override;
    std::shared_ptr<PureProjection> getProjection() override;
    void setTileArea(const TileArea& area) override;
    void setProjection(std::shared_ptr<PureProjection> projection) override;

    // Writes back every modified cached tile; the number not written (held
    // tiles are written at their release and not counted).
    size_t saveCache();
    // Cached tiles whose last write failed and that no later write has
    // replaced: the tiles lost should the cache go now.
    size_t failedTiles();
    // Entries cached, absences included.
    size_t size();
    uint32_t capacity() const { return capacity_; }
    std::shared_ptr<TileManager> held() const { return held_; }

protected:
    // The following run with mutex_ held.
    // Whether a caller still holds the entry's tile from GetTile.
    bool isHeld(const Holder& holder) const;
    // Writes the back-most entry that is not held and has not failed, and
    // removes it; false when there is none. Used while the cache is over
    // its capacity.
    bool evictOne();
    // Removes the entry: its tile must be written or unmodified already.
    void erase(LruList::iterator it);
    void insert(const TileKey& key, std::shared_ptr<TileBase> tile);
    void trim();
    void touch(LruList::iterator it);

    std::mutex mutex_;
    uint32_t capacity_;
    std::unordered_map<TileKey, LruList::iterator, TileKeyHash> index_;
    LruList lru_;
    std::shared_ptr<TileManager> held_;

private:
    struct Lease;
    struct Link {
        std::shared_mutex mutex;
        TileManagerCached* cache = nullptr;
    };
    // The release of the last copy of a tile handed out by GetTile.
    void released(const TileKey& key, std::shared_ptr<TileBase> tile);
    std::shared_ptr<TileBase> lend(const TileKey& key, std::shared_ptr<TileBase> tile);

    // Copies handed out per tile object.
    std::unordered_map<const TileBase*, int> out_;
    std::shared_ptr<Link> link_;
};

}  // namespace fw

class TileManagerCachedGDAL : public fw::TileManagerCached {
public:
    // The held store takes the projection too.
    TileManagerCachedGDAL(std::shared_ptr<fw::PureProjection> projection, std::shared_ptr<fw::TileManager> held,
                          uint32_t capacity);

    // "Export" (arg: std::string* file, cleared when exported), "check_tile"
    // (arg: double[4] {x, y, z, limit}; the fourth gets the result); others as
    // the base.
    void call(const std::string& command, void* arg) override;
    // Extension "png": exportPng; "tif": true without writing; others false.
    bool exportMap(const std::string& file) override;
    // The tile's time stamp when it is above limit (written to the store when
    // it was cached), else 0.0; 0.0 too for a tile a caller holds.
    double checkTile(int x, int y, int z, double limit);
    // The tiles of the area at the store's zoom level on one canvas, written
    // by OpenCV's image writer; zero where no tile exists.
    bool exportPng(const std::string& file);

    // Eviction by age (tile_cache_eviction.cpp). From the least recently used
    // end, entries leave until the first whose tile's time stamp is at least
    // limit (absences leave whatever the limit). Held tiles stay and are
    // passed over; a modified tile leaves only once it is written, so a tile
    // whose write fails stays cached and modified. Both hold the cache's lock
    // for their whole run.
    fw::EvictionResult evictOlderThan(double limit);
    // The same, writing the leaving tiles in one transaction per database of
    // the held MBTiles store; tiles the batch did not write are written one
    // at a time afterwards. With another held store it acts as evictOlderThan.
    fw::EvictionResult evictOlderThanToMbtiles(double limit);

private:
    // Entries that may leave, back to front, up to the first young one.
    std::vector<LruList::iterator> oldEntries(double limit);
};
