#include "tiles/tile_manager_file_system.h"

#include "fw/log.h"
#include "tile_store_io.h"
#include "tiles/png_codec.h"

#include <opencv2/core.hpp>

#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>

namespace fs = std::filesystem;

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
    const auto read = [&]() -> std::shared_ptr<TileBase> {
        std::ifstream in(tilePath(x, y, z), std::ios::binary);
        if (!in) return nullptr;
        auto tile = std::make_shared<TileT>();
        tile->deserialize(in);
        return tile;
    };
    return tilestore::logExceptions(read, nullptr,
                                    [&] { return "TileManagerFileSystem - GetTile " + tilestore::keyText(x, y, z); });
}

template <typename TileT>
bool TileManagerFileSystem<TileT>::SetTile(int x, int y, int z, std::shared_ptr<TileBase> tile) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string key = tilestore::keyText(x, y, z);
    if (!tile) {
        FW_LOG(Error) << "TileManagerFileSystem - SetTile: no tile for " << key;
        return false;
    }
    const auto write = [&] {
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
    };
    return tilestore::logExceptions(write, false,
                                    [&] { return "TileManagerFileSystem - SetTile: tile " + key + " not written"; });
}

template class TileManagerFileSystem<TerrainFusionMultiTile>;

}  // namespace fw

// ---- multi-file store

TileManagerFileSystemMultiFile::TileManagerFileSystemMultiFile(std::string folder, std::string domFolder,
                                                               std::string dsmFolder)
    : TilePayloadStore(folder,
                       {"TileManagerFileSystemMultiFile - ",
                        "TileManagerFileSystemMultiFile - SetTile: can't serialize tile ", "",
                        "Fail to retrieve weight ?????????????????????????????????? "},
                       PngCodec::kStored),
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
        logTimingReport();
    } catch (...) {
        // A destructor throws nothing; a report that cannot be logged has nowhere else to go.
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

std::string TileManagerFileSystemMultiFile::pathOf(Blob blob, int x, int y, int z) const {
    switch (blob) {
        case Blob::Dom: return domTilePath(x, y, z);
        case Blob::Dsm: return dsmTilePath(x, y, z);
        case Blob::Tile: break;
    }
    return tilePath(x, y, z);
}

std::shared_ptr<fw::TileBase> TileManagerFileSystemMultiFile::GetTile(int x, int y, int z) {
    std::lock_guard<std::mutex> lock(mutex_);
    return readTile(x, y, z);
}

bool TileManagerFileSystemMultiFile::SetTile(int x, int y, int z, std::shared_ptr<fw::TileBase> tile) {
    std::lock_guard<std::mutex> lock(mutex_);
    return writeTile(x, y, z, tile);
}

bool TileManagerFileSystemMultiFile::getBlob(Blob blob, int x, int y, int z, std::vector<uint8_t>& bytes) {
    return tilestore::readFile(pathOf(blob, x, y, z), bytes);
}

bool TileManagerFileSystemMultiFile::putBlob(Blob blob, int x, int y, int z, const std::vector<uint8_t>& bytes) {
    const std::string path = pathOf(blob, x, y, z);
    std::string error;
    if (tilestore::writeFileReplacing(path, bytes.data(), bytes.size(), error)) return true;
    const char* what = blob == Blob::Tile  ? "Can't open file "
                       : blob == Blob::Dom ? "Can't write dom png file "
                                           : "Can't write dsm tiff file ";
    FW_LOG(Error) << "TileManagerFileSystemMultiFile - SetTile: " << what << path
                  << (blob == Blob::Tile ? " for write. (" : " (") << tilestore::keyText(x, y, z) << ": " << error
                  << ")";
    return false;
}

std::string TileManagerFileSystemMultiFile::blobName(Blob blob, int x, int y, int z,
                                                     const std::string& keyAndReason) const {
    return pathOf(blob, x, y, z) + " (" + keyAndReason + ")";
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
