#include "tiles/tile_manager_cached.h"

#include "fw/log.h"
#include "fw/settings.h"
#include "tile_store_io.h"
#include "tiles/image_tile.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>

namespace fw {

namespace {

ImageTile* asImageTile(const std::shared_ptr<TileBase>& tile) { return dynamic_cast<ImageTile*>(tile.get()); }

bool modified(const std::shared_ptr<TileBase>& tile) {
    const ImageTile* t = asImageTile(tile);
    return t && t->isModified();
}

std::string keyText(const TileKey& k) {
    return std::to_string(k.x) + "," + std::to_string(k.y) + "," + std::to_string(k.z);
}

}  // namespace

// ---- Holder

TileManagerCached::Holder::Holder(std::shared_ptr<TileBase> tile_, std::shared_ptr<TileManager>* owner_)
    : tile(std::move(tile_)), owner(owner_) {}

TileManagerCached::Holder::~Holder() {
    try {
        if (owner && *owner && modified(tile)) {
            const TileKey k = asImageTile(tile)->getTileKey();
            if (!(*owner)->SetTile(k.x, k.y, k.z, tile))
                FW_LOG(Error) << "TileManagerCached: tile " << keyText(k) << " not written when it left the cache";
        }
    } catch (const std::exception& e) {
        try {
            FW_LOG(Error) << "TileManagerCached: tile not written when it left the cache: " << e.what();
        } catch (...) {
            // Nothing leaves a destructor: the log itself failed, so it cannot take this either.
        }
    } catch (...) {
        // Nothing leaves a destructor, and an exception of unknown type has no text to log.
    }
}

bool TileManagerCached::Holder::write() {
    if (!owner || !*owner || !modified(tile)) return true;
    const TileKey k = asImageTile(tile)->getTileKey();
    std::string error;
    if (write(k, error)) return true;
    FW_LOG(Error) << "TileManagerCached: tile " << keyText(k) << " not written to the store"
                  << (error.empty() ? "" : ": " + error) << "; it stays cached and modified";
    return false;
}

bool TileManagerCached::Holder::write(const TileKey& key, std::string& error) {
    error.clear();
    if (!owner || !*owner || !modified(tile)) return true;
    bool ok = false;
    try {
        ok = (*owner)->SetTile(key.x, key.y, key.z, tile);
    } catch (const std::exception& e) {
        error = e.what();
    } catch (...) {
        error = "unknown exception";
    }
    if (ok) {
        asImageTile(tile)->setModified(false);
        writeFailed = false;
    } else {
        writeFailed = true;
    }
    return ok;
}

// ---- lending

// Deleter of the pointers that GetTile hands out: the last copy's release
// tells the cache, which may then evict or write the tile.
struct TileManagerCached::Lease {
    std::shared_ptr<Link> link;
    TileKey key;
    std::shared_ptr<TileBase> tile;

    void operator()(TileBase*) noexcept {
        std::shared_ptr<TileBase> owned = std::move(tile);
        std::shared_ptr<Link> l = std::move(link);
        if (!l) return;
        try {
            std::shared_lock<std::shared_mutex> lock(l->mutex);
            if (l->cache) l->cache->released(key, std::move(owned));
        } catch (...) {
            // A deleter is noexcept: the release's own writes log their failures,
            // and the tile stays cached and modified for the next flush.
        }
    }
};

std::shared_ptr<TileBase> TileManagerCached::lend(const TileKey& key, std::shared_ptr<TileBase> tile) {
    if (!tile) return nullptr;
    TileBase* raw = tile.get();
    // A failed allocation calls the deleter, which gives the tile back.
    return std::shared_ptr<TileBase>(raw, Lease{link_, key, std::move(tile)});
}

void TileManagerCached::released(const TileKey& key, std::shared_ptr<TileBase> tile) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto out = out_.find(tile.get());
    if (out == out_.end() || --out->second > 0) return;
    out_.erase(out);
    auto found = index_.find(key);
    if (found != index_.end()) {
        Holder& holder = *found->second->holder;
        if (holder.tile == tile && holder.flushPending) {
            holder.flushPending = false;
            if (held_ && modified(holder.tile)) holder.write();
        }
    }
    tile.reset();
    trim();
}

bool TileManagerCached::isHeld(const Holder& holder) const {
    return holder.tile && out_.count(holder.tile.get()) != 0;
}

// ---- list and index

void TileManagerCached::touch(LruList::iterator it) { lru_.splice(lru_.begin(), lru_, it); }

void TileManagerCached::insert(const TileKey& key, std::shared_ptr<TileBase> tile) {
    lru_.push_front(TileCacheEntry{key, std::make_shared<Holder>(std::move(tile), &held_)});
    index_[key] = lru_.begin();
}

void TileManagerCached::erase(LruList::iterator it) {
    index_.erase(it->key);
    it->holder->owner = nullptr;  // written already (or nothing to write)
    lru_.erase(it);
}

bool TileManagerCached::evictOne() {
    for (auto it = lru_.end(); it != lru_.begin();) {
        --it;
        Holder& holder = *it->holder;
        if (isHeld(holder) || holder.writeFailed) continue;
        if (!holder.write()) continue;
        erase(it);
        return true;
    }
    return false;
}

void TileManagerCached::trim() {
    while (index_.size() > capacity_ && evictOne()) {
    }
}

// ---- the manager

TileManagerCached::TileManagerCached(std::shared_ptr<TileManager> held, uint32_t capacity)
    : capacity_(capacity), index_(8), held_(std::move(held)), link_(std::make_shared<Link>()) {
    index_.max_load_factor(1.0f);
    if (held_) {
        projection_ = held_->getProjection();
        area_ = held_->getTileArea();
    }
    link_->cache = this;
}

TileManagerCached::~TileManagerCached() {
    try {
        {
            std::unique_lock<std::shared_mutex> lock(link_->mutex);
            link_->cache = nullptr;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        size_t lost = 0;
        for (TileCacheEntry& entry : lru_) {
            if (held_ && modified(entry.holder->tile) && !entry.holder->write()) ++lost;
            entry.holder->owner = nullptr;
        }
        index_.clear();
        lru_.clear();
        if (lost > 0) FW_LOG(Error) << "TileManagerCached: " << lost << " modified tiles lost: their writes failed";
    } catch (...) {
        // Nothing leaves a destructor; each failed write has been logged already.
    }
}

std::string TileManagerCached::type() const { return "TileManagerCached"; }

void TileManagerCached::call(const std::string& command, void* arg) {
    if (command == "saveCache") {
        saveCache();
        return;
    }
    if (held_) held_->call(command, arg);
}

size_t TileManagerCached::saveCache() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!held_) return 0;
    size_t failed = 0;
    for (TileCacheEntry& entry : lru_) {
        Holder& holder = *entry.holder;
        // A held tile may be changing: not even its flag is read now.
        if (isHeld(holder)) {
            holder.flushPending = true;
            continue;
        }
        if (!modified(holder.tile)) continue;
        std::string error;
        if (holder.write(entry.key, error)) continue;
        ++failed;
        const std::string lead = "TileManagerCached - saveCache: tile " + keyText(entry.key);
        if (!error.empty()) FW_LOG(Error) << lead << ": " << error;
        FW_LOG(Error) << lead << " not written; it stays cached and modified";
    }
    if (failed > 0) FW_LOG(Error) << "TileManagerCached - saveCache: " << failed << " modified tiles not written";
    trim();
    return failed;
}

size_t TileManagerCached::failedTiles() {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const TileCacheEntry& entry : lru_)
        if (entry.holder->writeFailed) ++n;
    return n;
}

size_t TileManagerCached::size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return index_.size();
}

std::shared_ptr<TileBase> TileManagerCached::GetTile(int x, int y, int z) {
    const TileKey key{x, y, z};
    std::shared_ptr<TileBase> tile;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = index_.find(key);
        if (found != index_.end()) {
            touch(found->second);
            tile = found->second->holder->tile;
        } else {
            if (!held_) return nullptr;
            const bool read = tilestore::logExceptions(
                [&] {
                    tile = held_->GetTile(x, y, z);
                    return true;
                },
                false, [&] { return "TileManagerCached - GetTile " + keyText(key); });
            if (!read) return nullptr;
            insert(key, tile);
        }
        if (tile) ++out_[tile.get()];
        trim();
    }
    try {
        return lend(key, std::move(tile));
    } catch (...) {
        // Only the lease's allocation throws, and its deleter has handed the
        // tile back already: the caller gets no tile, as for any failed read.
        return nullptr;
    }
}

bool TileManagerCached::SetTile(int x, int y, int z, std::shared_ptr<TileBase> tile) {
    const TileKey key{x, y, z};
    // A pointer from GetTile: cache the tile behind it, not the lent copy.
    if (const Lease* lease = std::get_deleter<Lease>(tile)) tile = lease->tile;
    std::lock_guard<std::mutex> lock(mutex_);
    TileArea a = getTileArea();
    if (z == a.z) {
        a.xMax = std::max(a.xMax, x);
        a.yMax = std::max(a.yMax, y);
        a.xMin = std::min(a.xMin, x);
        a.yMin = std::min(a.yMin, y);
        setTileArea(a);
    }
    auto found = index_.find(key);
    if (found != index_.end()) {
        touch(found->second);
        Holder& holder = *found->second->holder;
        if (holder.tile != tile) {
            holder.tile = std::move(tile);
            holder.flushPending = false;
            holder.writeFailed = false;
        }
    } else {
        insert(key, std::move(tile));
    }
    trim();
    return true;
}

int TileManagerCached::maxZoomLevel() { return held_ ? held_->maxZoomLevel() : area_.z; }
bool TileManagerCached::exportMap(const std::string& file) { return held_ ? held_->exportMap(file) : false; }
TileArea TileManagerCached::getTileArea() { return held_ ? held_->getTileArea() : area_; }
std::shared_ptr<PureProjection> TileManagerCached::getProjection() {
    return held_ ? held_->getProjection() : projection_;
}

void TileManagerCached::setTileArea(const TileArea& a) {
    if (held_)
        held_->setTileArea(a);
    else
        area_ = a;
}

void TileManagerCached::setProjection(std::shared_ptr<PureProjection> projection) {
    if (held_) held_->setProjection(projection);
    projection_ = std::move(projection);
}

}  // namespace fw

// ---- TileManagerCachedGDAL

TileManagerCachedGDAL::TileManagerCachedGDAL(std::shared_ptr<fw::PureProjection> projection,
                                             std::shared_ptr<fw::TileManager> held, uint32_t capacity)
    : fw::TileManagerCached(std::move(held), capacity) {
    if (held_) held_->setProjection(projection);
    projection_ = std::move(projection);
}

void TileManagerCachedGDAL::call(const std::string& command, void* arg) {
    if (command == "Export") {
        auto* file = static_cast<std::string*>(arg);
        if (file && exportMap(*file)) file->clear();
        return;
    }
    if (command == "check_tile") {
        if (!arg) return;
        auto* v = static_cast<double*>(arg);
        v[3] = checkTile(int(v[0]), int(v[1]), int(v[2]), v[3]);
        return;
    }
    fw::TileManagerCached::call(command, arg);
}

double TileManagerCachedGDAL::checkTile(int x, int y, int z, double limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!held_) return 0.0;
    const TileKey key{x, y, z};
    const auto context = [&] { return "TileManagerCached - check_tile " + tilestore::keyText(x, y, z); };
    std::shared_ptr<fw::TileBase> tile;
    bool cached = false;
    auto found = index_.find(key);
    if (found != index_.end()) {
        touch(found->second);
        tile = found->second->holder->tile;
        cached = true;
    } else {
        tile = tilestore::logExceptions([&] { return held_->GetTile(x, y, z); }, nullptr, context);
        if (!tile) return 0.0;
        insert(key, tile);
        trim();
    }
    auto* t = dynamic_cast<fw::ImageTile*>(tile.get());
    // A tile held by a caller may be changing: it counts as not ready.
    if (!t || (cached && isHeld(*found->second->holder))) return 0.0;
    const double stamp = t->getTimestamp();
    if (limit >= stamp) return 0.0;
    if (cached) {
        const bool ok = tilestore::logExceptions([&] { return held_->SetTile(x, y, z, tile); }, false, context);
        found->second->holder->writeFailed = !ok;
        if (!ok) FW_LOG(Error) << "TileManagerCached - check_tile: tile " << x << "," << y << "," << z << " not written";
    }
    return stamp;
}

bool TileManagerCachedGDAL::exportMap(const std::string& file) {
    if (maxZoomLevel() < 1) return false;
    const size_t dot = file.rfind('.');
    if (dot == std::string::npos) return false;
    const std::string extension = file.substr(dot + 1);
    if (extension == "tif") return true;
    if (extension == "png") return exportPng(file);
    FW_LOG(Error) << "Do not support extension " << extension;
    return false;
}

bool TileManagerCachedGDAL::exportPng(const std::string& file) {
    const TileArea a = getTileArea();
    const int64_t cols = int64_t(a.xMax) - a.xMin + 1;
    const int64_t rows = int64_t(a.yMax) - a.yMin + 1;
    if (cols <= 0 || rows <= 0) return false;
    const int64_t n = cols * rows;
    const int64_t limit = int64_t(fw::Settings::instance().GetInt("MapFusion.MaxExportMemSize", 1)) << 30;
    if (n > limit / 262144 || n * 262144 > limit) return false;
    double& progress = fw::Settings::instance().GetDouble("TerrainFusion.ExportProgress", 0.0);
    progress = 0.0;
    const int zoom = maxZoomLevel();
    cv::Mat canvas;
    int64_t i = 0;
    bool stopped = false;
    try {
        for (int64_t y = a.yMin; y <= a.yMax && !stopped; ++y) {
            for (int64_t x = a.xMin; x <= a.xMax; ++x, ++i) {
                if (progress < 0) {
                    stopped = true;
                    break;
                }
                progress = double(i) / double(n);
                const std::shared_ptr<fw::TileBase> tile = GetTile(int(x), int(y), zoom);
                auto* t = dynamic_cast<fw::ImageTile*>(tile.get());
                if (!t) continue;
                const cv::Mat image = t->getImage();
                if (image.empty()) continue;
                if (canvas.empty()) {
                    canvas = cv::Mat::zeros(int(rows * image.rows), int(cols * image.cols), image.type());
                } else if (image.type() != canvas.type() || int64_t(image.rows) * rows != canvas.rows ||
                           int64_t(image.cols) * cols != canvas.cols) {
                    FW_LOG(Warning) << "Export: tile " << x << "," << y << "," << zoom
                                    << " has another shape than the first; left out";
                    continue;
                }
                image.copyTo(canvas(cv::Rect(int((x - a.xMin) * image.cols), int((y - a.yMin) * image.rows),
                                             image.cols, image.rows)));
            }
        }
        if (canvas.empty()) return false;
        return cv::imwrite(file, canvas);
    } catch (const std::exception& e) {
        FW_LOG(Error) << "Export of " << file << " failed: " << e.what();
        return false;
    }
}
