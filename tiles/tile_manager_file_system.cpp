#include "tiles/tile_manager_file_system.h"

#include "fw/log.h"
#include "tile_store_io.h"
#include "tiles/png_codec.h"

#include <opencv2/core.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>

namespace fs = std::filesystem;

namespace {

int64_t nanosSince(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}

}  // namespace

namespace fw {

template <typename TileT>
TileManagerFileSystem<TileT>::TileManagerFileSystem(std::string folder) : folder_(std::move(folder)) {
    projection_ = std::make_shared<MercatorProjection>();
}

template <typename TileT>
std::string TileManagerFileSystem<TileT>::type() const {
    return "TileManagerFileSystem";
}

template <typename TileT>
std::string TileManagerFileSystem<TileT>::tilePath(int x, int y, int z) const {
    return folder_ + "/" + std::to_string(z) + "/" + std::to_string(x) + "/" + std::to_string(y) + ".tile";
}

template <typename TileT>
std::shared_ptr<TileBase> TileManagerFileSystem<TileT>::GetTile(int x, int y, int z) {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
        std::ifstream in(tilePath(x, y, z), std::ios::binary);
        if (!in) return nullptr;
        auto tile = std::make_shared<TileT>();
        tile->deserialize(in);
        return tile;
    } catch (const std::exception& e) {
        FW_LOG(Error) << "TileManagerFileSystem - GetTile " << tilestore::keyText(x, y, z) << ": " << e.what();
        return nullptr;
    }
}

template <typename TileT>
bool TileManagerFileSystem<TileT>::SetTile(int x, int y, int z, std::shared_ptr<TileBase> tile) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string key = tilestore::keyText(x, y, z);
    if (!tile) {
        FW_LOG(Error) << "TileManagerFileSystem - SetTile: no tile for " << key;
        return false;
    }
    try {
        auto* imageTile = dynamic_cast<ImageTile*>(tile.get());
        if (!imageTile) {
            FW_LOG(Error) << "TileManagerFileSystem - SetTile: not an image tile at " << key;
            return false;
        }
        const std::string path = tilePath(x, y, z);
        std::error_code ec;
        if (!fs::is_directory(fs::path(path).parent_path(), ec)) {
            FW_LOG(Error) << "TileManagerFileSystem - SetTile: no folder for " << key << ": " << path;
            return false;
        }
        if (!tilestore::serializeTile(*imageTile, serial_)) {
            FW_LOG(Error) << "TileManagerFileSystem - SetTile: can't serialize tile " << key;
            return false;
        }
        std::string error;
        if (!tilestore::writeFileReplacing(path, serial_.data(), serial_.size(), error)) {
            FW_LOG(Error) << "TileManagerFileSystem - SetTile: tile " << key << " not written: " << error;
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        FW_LOG(Error) << "TileManagerFileSystem - SetTile: tile " << key << " not written: " << e.what();
        return false;
    }
}

template class TileManagerFileSystem<TerrainFusionMultiTile>;

}  // namespace fw

// ---- multi-file store

TileManagerFileSystemMultiFile::TileManagerFileSystemMultiFile(std::string folder, std::string domFolder,
                                                               std::string dsmFolder)
    : fw::TileManagerFileSystem<TerrainFusionMultiTile>(folder),
      domFolder_(domFolder.empty() ? folder : std::move(domFolder)),
      dsmFolder_(dsmFolder.empty() ? folder : std::move(dsmFolder)) {
    for (const std::string* dir : {&folder_, &domFolder_, &dsmFolder_}) {
        if (!fs::is_directory(*dir)) fs::create_directories(*dir);
    }
    PngCodec::init();
    ready_ = true;
}

TileManagerFileSystemMultiFile::~TileManagerFileSystemMultiFile() {
    try {
        logTileTimingReport(domWriteTimes_, demWriteTimes_, domReadTimes_);
    } catch (...) {
    }
}

std::string TileManagerFileSystemMultiFile::type() const { return "TileManagerFileSystemMultiFile"; }

std::string TileManagerFileSystemMultiFile::domTilePath(int x, int y, int z) const {
    const std::string zs = std::to_string(z);
    return domFolder_ + "/" + zs + "/" + zs + "_" + std::to_string(x) + "_" + std::to_string(y) + ".png";
}

std::string TileManagerFileSystemMultiFile::dsmTilePath(int x, int y, int z) const {
    const std::string zs = std::to_string(z);
    return dsmFolder_ + "/" + zs + "/" + zs + "_" + std::to_string(x) + "_" + std::to_string(y) + ".tiff";
}

std::list<std::vector<int64_t>> TileManagerFileSystemMultiFile::domWriteTimes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return domWriteTimes_;
}
std::list<std::vector<int64_t>> TileManagerFileSystemMultiFile::demWriteTimes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return demWriteTimes_;
}
std::list<std::vector<int64_t>> TileManagerFileSystemMultiFile::domReadTimes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return domReadTimes_;
}

std::shared_ptr<fw::TileBase> TileManagerFileSystemMultiFile::GetTile(int x, int y, int z) {
    using Clock = std::chrono::steady_clock;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string key = tilestore::keyText(x, y, z);
    try {
        std::vector<uint8_t> bytes;
        if (!tilestore::readFile(tilePath(x, y, z), bytes) || bytes.empty()) return nullptr;
        auto tile = std::make_shared<TerrainFusionMultiTile>();
        tilestore::ByteStreamBuf buf(bytes.data(), bytes.size());
        std::istream in(&buf);
        if (!tile->deserialize(in)) {
            FW_LOG(Error) << "Obtained buffer but can't load tile. compressed ";
            return nullptr;
        }
        if (tile->weight.data == nullptr) FW_LOG(Error) << "Fail to retrieve weight ?????????????????????????????????? ";

        const auto t0 = Clock::now();
        std::vector<uint8_t> png;
        if (!tilestore::readFile(domTilePath(x, y, z), png) || png.empty()) return nullptr;
        const auto t1 = Clock::now();
        std::string error;
        fw::GImage image;
        if (!tilestore::decodeDomPng(png, image, error)) {
            FW_LOG(Warning) << "TileManagerFileSystemMultiFile - GetTile: tile " << key << " absent: " << error;
            return nullptr;
        }
        const auto t2 = Clock::now();
        tile->image = image;
        const auto t3 = Clock::now();
        domReadTimes_.push_back({nanosSince(t0, t1), nanosSince(t1, t2), nanosSince(t2, t3), nanosSince(t0, t3)});

        std::vector<uint8_t> tiff;
        if (!tilestore::readFile(dsmTilePath(x, y, z), tiff) || tiff.empty()) return nullptr;
        fw::GImage elevation;
        if (!tilestore::decodeDsmTiff(tiff, elevation, error)) {
            FW_LOG(Warning) << "TileManagerFileSystemMultiFile - GetTile: tile " << key << " absent: " << error;
            return nullptr;
        }
        tile->elevation = elevation;
        const std::string problem = tilestore::shapeProblem(*tile);
        if (!problem.empty()) {
            FW_LOG(Warning) << "TileManagerFileSystemMultiFile - GetTile: tile " << key << " absent: " << problem;
            return nullptr;
        }
        return tile;
    } catch (const std::exception& e) {
        FW_LOG(Error) << "TileManagerFileSystemMultiFile - GetTile: tile " << key << " not read: " << e.what();
        return nullptr;
    }
}

bool TileManagerFileSystemMultiFile::SetTile(int x, int y, int z, std::shared_ptr<fw::TileBase> tile) {
    using Clock = std::chrono::steady_clock;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string key = tilestore::keyText(x, y, z);
    if (!tile) {
        FW_LOG(Error) << "TileManagerFileSystemMultiFile - SetTile: no tile for " << key;
        return false;
    }
    try {
        auto* multi = dynamic_cast<TerrainFusionMultiTile*>(tile.get());
        if (!multi) {
            FW_LOG(Error) << "Can't cast tile to TerrainFusionMultiTile: " << tile->type();
            return false;
        }
        if (!tilestore::serializeTile(*multi, serial_)) {
            FW_LOG(Error) << "TileManagerFileSystemMultiFile - SetTile: can't serialize tile " << key;
            return false;
        }
        std::string error;
        const std::string path = tilePath(x, y, z);
        if (!tilestore::writeFileReplacing(path, serial_.data(), serial_.size(), error)) {
            FW_LOG(Error) << "TileManagerFileSystemMultiFile - SetTile: Can't open file " << path << " for write. ("
                          << key << ": " << error << ")";
            return false;
        }
        bool ok = true;
        if (multi->image.data != nullptr) {
            const auto t0 = Clock::now();
            std::vector<uint8_t>& rgba = rgba_;
            std::vector<uint8_t>& png = png_;
            const std::string pngPath = domTilePath(x, y, z);
            const bool composed = tilestore::composeDomRgba(*multi, rgba, error);
            const auto t1 = Clock::now();
            if (!composed || !PngCodec::encodeImage(rgba.data(), uint32_t(multi->image.cols),
                                                    uint32_t(multi->image.rows), 4, png, PngCodec::kStored)) {
                FW_LOG(Error) << "TileManagerFileSystemMultiFile - SetTile: Can't encode dom png file " << pngPath
                              << " (" << key << (composed ? "" : ": " + error) << ")";
                ok = false;
            } else {
                const auto t2 = Clock::now();
                if (!tilestore::writeFileReplacing(pngPath, png.data(), png.size(), error)) {
                    FW_LOG(Error) << "TileManagerFileSystemMultiFile - SetTile: Can't write dom png file " << pngPath
                                  << " (" << key << ": " << error << ")";
                    ok = false;
                }
                const auto t3 = Clock::now();
                domWriteTimes_.push_back(
                    {nanosSince(t0, t1), nanosSince(t1, t2), nanosSince(t2, t3), nanosSince(t0, t3)});
            }
        }
        if (multi->elevation.data != nullptr) {
            const auto t0 = Clock::now();
            fw::GImage dsm;
            std::vector<uint8_t> tiff;
            const std::string tiffPath = dsmTilePath(x, y, z);
            if (!tilestore::composeDsm(*multi, dsm, error) || !tilestore::encodeDsmTiff(dsm, tiff, error)) {
                FW_LOG(Error) << "TileManagerFileSystemMultiFile - SetTile: Can't encode dsm tiff file " << tiffPath
                              << " (" << key << ": " << error << ")";
                ok = false;
            } else {
                const auto t1 = Clock::now();
                if (!tilestore::writeFileReplacing(tiffPath, tiff.data(), tiff.size(), error)) {
                    FW_LOG(Error) << "TileManagerFileSystemMultiFile - SetTile: Can't write dsm tiff file "
                                  << tiffPath << " (" << key << ": " << error << ")";
                    ok = false;
                }
                const auto t2 = Clock::now();
                demWriteTimes_.push_back({nanosSince(t0, t1), nanosSince(t1, t2), nanosSince(t0, t2)});
            }
        }
        return ok;
    } catch (const std::exception& e) {
        FW_LOG(Error) << "TileManagerFileSystemMultiFile - SetTile: tile " << key << " not written: " << e.what();
        return false;
    }
}

void setTileAreaZoom(fw::TileManager& manager, int zoom) {
    TileArea a = manager.getTileArea();
    a.z = zoom;
    manager.setTileArea(a);
}

void logTileTimingReport(const std::list<std::vector<int64_t>>& domWrites,
                         const std::list<std::vector<int64_t>>& demWrites,
                         const std::list<std::vector<int64_t>>& domReads) {
    if (!domWrites.empty()) {
        const auto ms = tilestore::sumMilliseconds(domWrites, 4);
        FW_LOG(Info) << "TileManagerFileSystemMultiFile - SetTile: dom write time: merge=" << ms[0]
                     << "ms, encode=" << ms[1] << "ms, write=" << ms[2] << "ms, total=" << ms[3] << "ms";
    }
    if (!demWrites.empty()) {
        const auto ms = tilestore::sumMilliseconds(demWrites, 3);
        FW_LOG(Info) << "TileManagerFileSystemMultiFile - SetTile: dem write time: encode=" << ms[0]
                     << "ms, write=" << ms[1] << "ms, total=" << ms[2] << "ms"
                     << ", write " << demWrites.size() << " tiles";
    }
    if (!domReads.empty()) {
        const auto ms = tilestore::sumMilliseconds(domReads, 4);
        FW_LOG(Info) << "TileManagerFileSystemMultiFile - GetTile: dom read time: read=" << ms[0]
                     << "ms, decode=" << ms[1] << "ms, split=" << ms[2] << "ms, total=" << ms[3] << "ms"
                     << ", read " << domReads.size() << " tiles";
    }
}
