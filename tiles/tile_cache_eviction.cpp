// Eviction by age of the cached tile manager, with the batch write-back into
// the three databases of the MBTiles store.

#include "fw/log.h"
#include "tiles/tile_manager_cached.h"
#include "tiles/tile_manager_mbtiles.h"

#include <sqlite3.h>

#include <cmath>
#include <exception>
#include <sstream>

namespace {

fw::ImageTile* imageTileOf(const std::shared_ptr<fw::TileBase>& tile) {
    return dynamic_cast<fw::ImageTile*>(tile.get());
}

bool isModified(const std::shared_ptr<fw::TileBase>& tile) {
    const fw::ImageTile* t = imageTileOf(tile);
    return t && t->isModified();
}

bool exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// One prepared statement, finalised when it goes.
struct Statement {
    sqlite3_stmt* stmt = nullptr;
    ~Statement() { sqlite3_finalize(stmt); }
    // Binds the key and the blob (alive until the step), steps and resets.
    int write(int z, int x, int row, const void* data, size_t size) {
        sqlite3_bind_int(stmt, 1, z);
        sqlite3_bind_int(stmt, 2, x);
        sqlite3_bind_int(stmt, 3, row);
        int rc = sqlite3_bind_blob64(stmt, 4, data, static_cast<sqlite3_uint64>(size), SQLITE_STATIC);
        if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        return rc;
    }
};

constexpr const char* kInsert =
    "INSERT OR REPLACE INTO tiles (zoom_level, tile_column, tile_row, tile_data) VALUES (?, ?, ?, ?);";

}  // namespace

std::vector<fw::TileManagerCached::LruList::iterator> TileManagerCachedGDAL::oldEntries(double limit) {
    std::vector<LruList::iterator> out;
    for (auto it = lru_.end(); it != lru_.begin();) {
        --it;
        const Holder& holder = *it->holder;
        if (holder.tile) {
            const fw::ImageTile* t = imageTileOf(holder.tile);
            if (t && t->getTimestamp() >= limit) break;
        }
        if (isHeld(holder)) continue;  // still in use: it stays
        out.push_back(it);
    }
    return out;
}

fw::EvictionResult TileManagerCachedGDAL::evictOlderThan(double limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    fw::EvictionResult result;
    for (LruList::iterator it : oldEntries(limit)) {
        Holder& holder = *it->holder;
        if (held_ && isModified(holder.tile) && !holder.write()) continue;  // stays cached and modified
        if (!held_ && isModified(holder.tile)) continue;
        erase(it);
        ++result.evicted;
    }
    result.remaining = static_cast<uint32_t>(index_.size());
    return result;
}

fw::EvictionResult TileManagerCachedGDAL::evictOlderThanToMbtiles(double limit) {
    auto* store = dynamic_cast<TileManagerFileSystemMultiFileMbtiles*>(held_.get());
    if (!store || !store->ready()) return evictOlderThan(limit);
    std::lock_guard<std::mutex> lock(mutex_);
    fw::EvictionResult result;
    const std::vector<LruList::iterator> leaving = oldEntries(limit);
    if (leaving.empty()) {
        result.remaining = static_cast<uint32_t>(index_.size());
        return result;
    }
    sqlite3* const dbs[3] = {store->tileDb(), store->domDb(), store->dsmDb()};
    const char* const stmtNames[3] = {"stmt_meta", "stmt_dom", "stmt_dsm"};
    bool begun = true;
    for (int i = 0; i < 3 && begun; ++i) {
        if (!exec(dbs[i], "BEGIN TRANSACTION;")) {
            FW_LOG(Error) << "Failed to begin transaction: " << sqlite3_errmsg(dbs[i]);
            for (int j = 0; j < i; ++j) exec(dbs[j], "ROLLBACK;");
            begun = false;
        }
    }
    std::vector<fw::ImageTile*> written;  // their three rows went into the batch
    if (begun) {
        bool prepared = true;
        {
            Statement stmts[3];
            for (int i = 0; i < 3 && prepared; ++i) {
                if (sqlite3_prepare_v2(dbs[i], kInsert, -1, &stmts[i].stmt, nullptr) != SQLITE_OK) {
                    FW_LOG(Error) << "Failed to prepare " << stmtNames[i] << ": " << sqlite3_errmsg(dbs[i]);
                    prepared = false;
                }
            }
            if (prepared) {
                for (LruList::iterator it : leaving) {
                    const std::shared_ptr<fw::TileBase>& tile = it->holder->tile;
                    auto* multi = dynamic_cast<TerrainFusionMultiTile*>(tile.get());
                    if (!multi || !multi->isModified()) continue;
                    try {
                        const TileKey key = multi->getTileKey();
                        const int row = static_cast<int>(std::ldexp(1.0, key.z) - key.y - 1);
                        std::ostringstream serial;
                        if (!multi->serialize(serial) || !serial) continue;
                        const std::string bytes = serial.str();
                        int rc = stmts[0].write(key.z, key.x, row, bytes.data(), bytes.size());
                        if (rc != SQLITE_DONE) {
                            FW_LOG(Error) << "step failed " << rc << "x,y,z" << key.x << "," << row << "," << key.z;
                            continue;
                        }
                        bool ok = true;
                        std::string error;
                        if (!multi->image.empty()) {
                            std::vector<uint8_t> png;
                            if (TileManagerFileSystemMultiFileMbtiles::encodeDomPng(*multi, png, error)) {
                                rc = stmts[1].write(key.z, key.x, row, png.data(), png.size());
                                if (rc != SQLITE_DONE) ok = false;
                            } else {
                                ok = false;
                            }
                        }
                        if (!multi->elevation.empty()) {
                            std::vector<uint8_t> tiff;
                            if (TileManagerFileSystemMultiFileMbtiles::encodeDsmTiff(*multi, tiff, error)) {
                                rc = stmts[2].write(key.z, key.x, row, tiff.data(), tiff.size());
                                if (rc != SQLITE_DONE) ok = false;
                            } else {
                                ok = false;
                            }
                        }
                        if (ok) {
                            written.push_back(multi);
                        } else {
                            FW_LOG(Error) << "Failed to save tile: " << key.x << "," << key.y << "," << key.z
                                          << " in the batch " << error;
                        }
                    } catch (const std::exception& e) {
                        FW_LOG(Error) << "Failed to save tile: " << e.what();
                        break;
                    }
                }
            }
        }  // statements finalised
        if (!prepared) {
            for (sqlite3* db : dbs) exec(db, "ROLLBACK;");
            written.clear();
        } else {
            bool committed = true;
            for (sqlite3* db : dbs) {
                if (!exec(db, "COMMIT;")) {
                    FW_LOG(Error) << "Failed to commit tiles: " << sqlite3_errmsg(db);
                    exec(db, "ROLLBACK;");
                    committed = false;
                }
            }
            if (!committed) written.clear();
        }
    }
    for (fw::ImageTile* t : written) t->setModified(false);
    // What the batch did not write is written one at a time; a tile that
    // still fails stays cached and modified.
    for (LruList::iterator it : leaving) {
        Holder& holder = *it->holder;
        if (isModified(holder.tile) && !holder.write()) continue;
        erase(it);
        ++result.evicted;
    }
    result.remaining = static_cast<uint32_t>(index_.size());
    return result;
}
