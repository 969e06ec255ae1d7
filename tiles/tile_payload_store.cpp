#include "tiles/tile_manager_file_system.h"

#include "fw/log.h"
#include "tile_store_io.h"
#include "tiles/png_codec.h"

#include <chrono>
#include <istream>

namespace {

using Clock = std::chrono::steady_clock;

int64_t nanosSince(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}

}  // namespace

TilePayloadStore::TilePayloadStore(std::string folder, Texts texts, uint32_t pngFlags)
    : fw::TileManagerFileSystem<TerrainFusionMultiTile>(std::move(folder)),
      texts_(std::move(texts)),
      pngFlags_(pngFlags) {}

std::list<std::vector<int64_t>> TilePayloadStore::domWriteTimes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return domWriteTimes_;
}
std::list<std::vector<int64_t>> TilePayloadStore::demWriteTimes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return demWriteTimes_;
}
std::list<std::vector<int64_t>> TilePayloadStore::domReadTimes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return domReadTimes_;
}

void TilePayloadStore::logTimingReport() const {
    logTileTimingReport(domWriteTimes_, demWriteTimes_, domReadTimes_);
}

std::shared_ptr<fw::TileBase> TilePayloadStore::readTile(int x, int y, int z) {
    const std::string key = tilestore::keyText(x, y, z);
    const auto read = [&]() -> std::shared_ptr<fw::TileBase> {
        std::vector<uint8_t> blob;
        if (!getBlob(Blob::Tile, x, y, z, blob) || blob.empty()) return nullptr;
        auto tile = std::make_shared<TerrainFusionMultiTile>();
        {
            tilestore::ByteStreamBuf buf(blob.data(), blob.size());
            std::istream in(&buf);
            if (!tile->deserialize(in)) {
                FW_LOG(Error) << "Obtained buffer but can't load tile. compressed ";
                return nullptr;
            }
        }
        if (tile->weight.data == nullptr && !texts_.missingWeight.empty()) FW_LOG(Error) << texts_.missingWeight;

        const auto absent = [&](const std::string& why) {
            FW_LOG(Warning) << texts_.prefix << "GetTile: tile " << key << " absent: " << why;
            return nullptr;
        };
        const auto t0 = Clock::now();
        if (!getBlob(Blob::Dom, x, y, z, blob)) return nullptr;
        const auto t1 = Clock::now();
        if (blob.empty()) return nullptr;
        std::string error;
        fw::GImage image;
        if (!tilestore::decodeDomPng(blob, image, error)) return absent(error);
        const auto t2 = Clock::now();
        tile->image = image;
        const auto t3 = Clock::now();
        domReadTimes_.push_back({nanosSince(t0, t1), nanosSince(t1, t2), nanosSince(t2, t3), nanosSince(t0, t3)});

        if (!getBlob(Blob::Dsm, x, y, z, blob) || blob.empty()) return nullptr;
        fw::GImage elevation;
        if (!tilestore::decodeDsmTiff(blob, elevation, error)) return absent(error);
        tile->elevation = elevation;
        if (!TerrainTileShape::fits(*tile, true, error)) return absent(error);
        return tile;
    };
    return tilestore::logExceptions(read, nullptr,
                                    [&] { return texts_.prefix + "GetTile: tile " + key + " not read"; });
}

bool TilePayloadStore::writeTile(int x, int y, int z, const std::shared_ptr<fw::TileBase>& tile) {
    const std::string key = tilestore::keyText(x, y, z);
    if (!tile) {
        FW_LOG(Error) << texts_.prefix << "SetTile: no tile for " << key;
        return false;
    }
    const auto write = [&] {
        auto* multi = dynamic_cast<TerrainFusionMultiTile*>(tile.get());
        if (!multi) {
            FW_LOG(Error) << "Can't cast tile to TerrainFusionMultiTile: " << tile->type();
            return false;
        }
        if (!tilestore::serializeTile(*multi, serial_)) {
            FW_LOG(Error) << texts_.serialiseLead << key << texts_.serialiseTail;
            return false;
        }
        if (!putBlob(Blob::Tile, x, y, z, serial_)) return false;
        bool ok = true;
        std::string error;
        if (multi->image.data != nullptr) {
            const auto t0 = Clock::now();
            const bool composed = tilestore::composeDomRgba(*multi, rgba_, error);
            const auto t1 = Clock::now();
            if (!composed || !PngCodec::encodeImage(rgba_.data(), uint32_t(multi->image.cols),
                                                    uint32_t(multi->image.rows), 4, png_, pngFlags_)) {
                FW_LOG(Error) << "TileManagerFileSystemMultiFile - SetTile: Can't encode dom png file "
                              << blobName(Blob::Dom, x, y, z, key + (composed ? "" : ": " + error));
                ok = false;
            } else {
                const auto t2 = Clock::now();
                if (!putBlob(Blob::Dom, x, y, z, png_)) ok = false;
                const auto t3 = Clock::now();
                domWriteTimes_.push_back(
                    {nanosSince(t0, t1), nanosSince(t1, t2), nanosSince(t2, t3), nanosSince(t0, t3)});
            }
        }
        if (multi->elevation.data != nullptr) {
            const auto t0 = Clock::now();
            fw::GImage dsm;
            std::vector<uint8_t> tiff;
            if (!tilestore::composeDsm(*multi, dsm, error) || !tilestore::encodeDsmTiff(dsm, tiff, error)) {
                FW_LOG(Error) << "TileManagerFileSystemMultiFile - SetTile: Can't encode dsm tiff file "
                              << blobName(Blob::Dsm, x, y, z, key + ": " + error);
                ok = false;
            } else {
                const auto t1 = Clock::now();
                if (!putBlob(Blob::Dsm, x, y, z, tiff)) ok = false;
                const auto t2 = Clock::now();
                demWriteTimes_.push_back({nanosSince(t0, t1), nanosSince(t1, t2), nanosSince(t0, t2)});
            }
        }
        return ok;
    };
    return tilestore::logExceptions(write, false,
                                    [&] { return texts_.prefix + "SetTile: tile " + key + " not written"; });
}
