#include "tiles/tile_manager_mbtiles.h"

#include "fw/log.h"
#include "tile_store_io.h"
#include "tiles/png_codec.h"

#include <sqlite3.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <sstream>

namespace fs = std::filesystem;

namespace {

constexpr const char* kPrefix = "TileManagerFileSystemMultiFileMbtiles - ";
constexpr const char* kSelect = "SELECT tile_data FROM tiles WHERE zoom_level=? AND tile_column=? AND tile_row=?;";
constexpr const char* kInsert =
    "INSERT OR REPLACE INTO tiles (zoom_level, tile_column, tile_row, tile_data) VALUES (?, ?, ?, ?);";
constexpr const char* kMetadata = "INSERT OR REPLACE INTO metadata (name, value) VALUES (?, ?)";

int64_t nanosSince(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}

// A prepared statement, finalised on every path.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { code_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return code_ == SQLITE_OK && stmt_ != nullptr; }
    int code() const { return code_; }
    sqlite3_stmt* get() const { return stmt_; }

    void bindKey(int z, int x, int row) {
        sqlite3_bind_int(stmt_, 1, z);
        sqlite3_bind_int(stmt_, 2, x);
        sqlite3_bind_int(stmt_, 3, row);
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int code_ = SQLITE_ERROR;
};

// Reads the blob of one row: the step's result code; blob holds the bytes
// on SQLITE_ROW.
int selectBlob(sqlite3* db, int x, int row, int z, std::vector<uint8_t>& blob, int& prepareCode) {
    blob.clear();
    Statement stmt(db, kSelect);
    prepareCode = stmt.code();
    if (!stmt.ok()) return SQLITE_ERROR;
    stmt.bindKey(z, x, row);
    const int step = sqlite3_step(stmt.get());
    if (step != SQLITE_ROW) return step;
    const void* data = sqlite3_column_blob(stmt.get(), 0);
    const int size = sqlite3_column_bytes(stmt.get(), 0);
    if (data && size > 0) blob.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    return step;
}

// Writes one row; empty on success, else what failed.
std::string insertBlob(sqlite3* db, int x, int row, int z, const void* data, size_t size) {
    Statement stmt(db, kInsert);
    if (!stmt.ok()) return "prepare failed " + std::to_string(stmt.code()) + " (" + sqlite3_errmsg(db) + ")";
    stmt.bindKey(z, x, row);
    if (sqlite3_bind_blob64(stmt.get(), 4, data, sqlite3_uint64(size), SQLITE_TRANSIENT) != SQLITE_OK)
        return std::string("bind failed (") + sqlite3_errmsg(db) + ")";
    const int step = sqlite3_step(stmt.get());
    if (step != SQLITE_DONE) return "step failed " + std::to_string(step) + " (" + sqlite3_errmsg(db) + ")";
    return "";
}

bool exec(sqlite3* db, const std::string& sql, std::string& error) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    if (rc == SQLITE_OK) return true;
    error = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    return false;
}

std::string formatF(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%f", v);
    return buf;
}

// Metadata rows of a store's area; bounds and center only for a non-empty area.
std::vector<std::pair<std::string, std::string>> metadataRows(const TileArea& a) {
    std::vector<std::pair<std::string, std::string>> rows;
    if (a.xMin <= a.xMax && a.yMin <= a.yMax) {
        const double pi = 3.141592653589793;
        const double n = std::pow(2.0, a.z);
        const double lonW = a.xMin / n * 360.0 - 180.0;
        const double lonE = (double(a.xMax) + 1) / n * 360.0 - 180.0;
        const double latN = std::atan(std::sinh(pi * (1 - 2 * a.yMin / n))) * 180 / pi;
        const double latS = std::atan(std::sinh(pi * (1 - 2 * (double(a.yMax) + 1) / n))) * 180 / pi;
        rows.emplace_back("bounds", formatF(lonW) + "," + formatF(latS) + "," + formatF(lonE) + "," + formatF(latN));
        rows.emplace_back("center", formatF((lonW + lonE) * 0.5) + "," + formatF((latN + latS) * 0.5));
    }
    rows.emplace_back("minzoom", std::to_string(std::max(0, a.z - 5)));
    rows.emplace_back("maxzoom", std::to_string(a.z));
    return rows;
}

void writeMetadata(sqlite3* db, const std::string& path, const TileArea& area) {
    Statement stmt(db, kMetadata);
    if (!stmt.ok()) {
        FW_LOG(Error) << kPrefix << "metadata of " << path << " not written: " << sqlite3_errmsg(db);
        return;
    }
    for (const auto& row : metadataRows(area)) {
        sqlite3_bind_text(stmt.get(), 1, row.first.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt.get(), 2, row.second.c_str(), -1, SQLITE_TRANSIENT);
        const int step = sqlite3_step(stmt.get());
        if (step != SQLITE_DONE)
            FW_LOG(Error) << kPrefix << "metadata \"" << row.first << "\" of " << path << " not written: step failed "
                          << step << " (" << sqlite3_errmsg(db) << ")";
        sqlite3_reset(stmt.get());
    }
}

}  // namespace

TileManagerFileSystemMultiFileMbtiles::TileManagerFileSystemMultiFileMbtiles(std::string folder,
                                                                             std::string domFolder,
                                                                             std::string dsmFolder)
    : fw::TileManagerFileSystem<TerrainFusionMultiTile>(folder) {
    if (domFolder.empty()) domFolder = folder;
    if (dsmFolder.empty()) dsmFolder = folder;
    fs::path domDir(domFolder), dsmDir(dsmFolder);
    if (domDir.extension() == ".mbtiles") domDir = domDir.parent_path();
    if (dsmDir.extension() == ".mbtiles") dsmDir = dsmDir.parent_path();
    for (const fs::path& dir : {domDir, dsmDir, fs::path(folder)}) {
        if (!dir.empty() && !fs::is_directory(dir)) fs::create_directories(dir);
    }
    domPath_ = (domDir / "dom.mbtiles").string();
    dsmPath_ = (dsmDir / "dsm.mbtiles").string();
    tileDbPath_ = folder + "/tile.db";
    PngCodec::init();

    for (const std::string* path : {&domPath_, &dsmPath_, &tileDbPath_}) {
        std::error_code ec;
        if (fs::exists(*path, ec)) {
            FW_LOG(Error) << kPrefix << "the file " << *path
                          << " already exists; the store opens only databases that it creates";
            return;
        }
    }
    struct Step {
        const std::string* path;
        sqlite3** handle;
        const char* name;
        const char* format;
        const char* failure;
    } steps[] = {
        {&domPath_, &domDb_, "dom", "png", "Can't create dom mbtiles file "},
        {&dsmPath_, &dsmDb_, "dsm", "tiff", "Can't create dsm mbtiles file "},
        {&tileDbPath_, &tileDb_, "", "", "Can't create tile dabase file "},
    };
    for (const Step& s : steps) {
        if (!CrateMbtilesDatabase(*s.path, *s.handle, s.name, s.format)) {
            FW_LOG(Error) << kPrefix << s.failure << *s.path;
            closeAll();
            return;
        }
    }
}

TileManagerFileSystemMultiFileMbtiles::~TileManagerFileSystemMultiFileMbtiles() {
    try {
        logTileTimingReport(domWriteSamples_, dsmWriteSamples_, domReadSamples_);
        if (domDb_) writeMetadata(domDb_, domPath_, area_);
        if (dsmDb_) writeMetadata(dsmDb_, dsmPath_, area_);
    } catch (...) {
    }
    closeAll();
}

void TileManagerFileSystemMultiFileMbtiles::closeAll() {
    for (auto* handle : {&domDb_, &dsmDb_, &tileDb_}) {
        if (*handle && sqlite3_close(*handle) != SQLITE_OK) {
            FW_LOG(Error) << kPrefix << "can't close database: " << sqlite3_errmsg(*handle);
            sqlite3_close_v2(*handle);
        }
        *handle = nullptr;
    }
}

std::string TileManagerFileSystemMultiFileMbtiles::type() const { return "TileManagerFileSystemMultiFileMbtiles"; }

int TileManagerFileSystemMultiFileMbtiles::tmsRow(int y, int z) {
    const double row = std::pow(2.0, z) - 1 - y;
    if (row >= double(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    if (row <= double(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    return int(row);
}

bool TileManagerFileSystemMultiFileMbtiles::CrateMbtilesDatabase(const std::string& path, sqlite3*& handle,
                                                                 const std::string& name,
                                                                 const std::string& format) {
    std::error_code ec;
    if (fs::exists(path, ec)) {
        FW_LOG(Info) << kPrefix << "CrateMbtilesDatabase: file " << path << " already exists";
        return false;
    }
    if (sqlite3_open(path.c_str(), &handle) != SQLITE_OK) {
        FW_LOG(Error) << kPrefix << "CrateMbtilesDatabase: Can't open database: "
                      << (handle ? sqlite3_errmsg(handle) : "out of memory");
        return false;
    }
    std::string error;
    const std::string sqlError = std::string(kPrefix) + "CrateMbtilesDatabase: SQL error: ";
    if (!exec(handle, "CREATE TABLE tiles (zoom_level integer, tile_column integer, tile_row integer, tile_data blob);",
              error)) {
        FW_LOG(Error) << sqlError << error;
        return false;
    }
    const std::string cacheSize = "PRAGMA cache_size = " + std::to_string(20000) + ";";
    if (!exec(handle, cacheSize, error)) FW_LOG(Warning) << "Fail to adjust cache size: " << cacheSize;
    if (!exec(handle, "CREATE UNIQUE INDEX IF NOT EXISTS tile_index ON tiles (zoom_level, tile_column, tile_row);",
              error)) {
        FW_LOG(Error) << sqlError << "fail to indexing ";
        return false;
    }
    if (format.empty()) return true;
    for (const std::string& sql :
         {std::string("CREATE TABLE metadata (name text, value text);"),
          "INSERT INTO metadata (name, value) VALUES ('name', '" + name + "');",
          "INSERT INTO metadata (name, value) VALUES ('format', '" + format + "');"}) {
        if (!exec(handle, sql, error)) {
            FW_LOG(Error) << sqlError << error;
            return false;
        }
    }
    if (!exec(handle, "CREATE UNIQUE INDEX IF NOT EXISTS tile_index ON metadata (name);", error)) {
        FW_LOG(Error) << sqlError << "fail to indexing ";
        return false;
    }
    return true;
}

bool TileManagerFileSystemMultiFileMbtiles::encodeDomPng(const TerrainFusionMultiTile& tile, std::vector<uint8_t>& png,
                                                         std::string& error) {
    std::vector<uint8_t> rgba;
    if (!tilestore::composeDomRgba(tile, rgba, error)) return false;
    if (!PngCodec::encodeImage(rgba.data(), uint32_t(tile.image.cols), uint32_t(tile.image.rows), 4, png, 0)) {
        error = "the PNG encoder refused the image";
        return false;
    }
    return true;
}

bool TileManagerFileSystemMultiFileMbtiles::encodeDsmTiff(const TerrainFusionMultiTile& tile,
                                                          std::vector<uint8_t>& tiff, std::string& error) {
    fw::GImage dsm;
    return tilestore::composeDsm(tile, dsm, error) && tilestore::encodeDsmTiff(dsm, tiff, error);
}

std::shared_ptr<fw::TileBase> TileManagerFileSystemMultiFileMbtiles::GetTile(int x, int y, int z) {
    using Clock = std::chrono::steady_clock;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ready()) return nullptr;
    const std::string key = tilestore::keyText(x, y, z);
    const int row = tmsRow(y, z);
    try {
        std::vector<uint8_t> blob;
        int prepare = SQLITE_OK;
        if (selectBlob(tileDb_, x, row, z, blob, prepare) != SQLITE_ROW) {
            if (prepare != SQLITE_OK) FW_LOG(Error) << kPrefix << "Can't prepare database";
            return nullptr;
        }
        if (blob.empty()) {
            FW_LOG(Error) << kPrefix << "Can't read tile from database: " << x << ", " << row << ", " << z;
            return nullptr;
        }
        auto tile = std::make_shared<TerrainFusionMultiTile>();
        {
            tilestore::ByteStreamBuf buf(blob.data(), blob.size());
            std::istream in(&buf);
            if (!tile->deserialize(in)) {
                FW_LOG(Error) << "Obtained buffer but can't load tile. compressed ";
                return nullptr;
            }
        }
        const auto t0 = Clock::now();
        int step = selectBlob(domDb_, x, row, z, blob, prepare);
        if (prepare != SQLITE_OK) {
            FW_LOG(Error) << "GetTile: prepare failed " << prepare << "x,y,z" << key;
            return nullptr;
        }
        if (step != SQLITE_ROW) {
            FW_LOG(Error) << "step failed " << step << "x,y,z" << key;
            return nullptr;
        }
        const auto t1 = Clock::now();
        if (blob.empty()) return nullptr;
        std::string error;
        fw::GImage image;
        if (!tilestore::decodeDomPng(blob, image, error)) {
            FW_LOG(Warning) << kPrefix << "GetTile: tile " << key << " absent: " << error;
            return nullptr;
        }
        const auto t2 = Clock::now();
        tile->image = image;
        const auto t3 = Clock::now();
        domReadSamples_.push_back({nanosSince(t0, t1), nanosSince(t1, t2), nanosSince(t2, t3), nanosSince(t0, t3)});

        step = selectBlob(dsmDb_, x, row, z, blob, prepare);
        if (prepare != SQLITE_OK) {
            FW_LOG(Error) << "prepare failed " << prepare << "x,y,z" << key;
            return nullptr;
        }
        if (step != SQLITE_ROW) {
            FW_LOG(Error) << "step failed " << step << "x,y,z" << key;
            return nullptr;
        }
        if (blob.empty()) return nullptr;
        fw::GImage elevation;
        if (!tilestore::decodeDsmTiff(blob, elevation, error)) {
            FW_LOG(Warning) << kPrefix << "GetTile: tile " << key << " absent: " << error;
            return nullptr;
        }
        tile->elevation = elevation;
        const std::string problem = tilestore::shapeProblem(*tile);
        if (!problem.empty()) {
            FW_LOG(Warning) << kPrefix << "GetTile: tile " << key << " absent: " << problem;
            return nullptr;
        }
        return tile;
    } catch (const std::exception& e) {
        FW_LOG(Error) << kPrefix << "GetTile: tile " << key << " not read: " << e.what();
        return nullptr;
    }
}

bool TileManagerFileSystemMultiFileMbtiles::SetTile(int x, int y, int z, std::shared_ptr<fw::TileBase> tile) {
    using Clock = std::chrono::steady_clock;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string key = tilestore::keyText(x, y, z);
    if (!ready()) {
        FW_LOG(Error) << kPrefix << "SetTile: the databases are not open; tile " << key << " not written";
        return false;
    }
    if (!tile) {
        FW_LOG(Error) << kPrefix << "SetTile: no tile for " << key;
        return false;
    }
    try {
        auto* multi = dynamic_cast<TerrainFusionMultiTile*>(tile.get());
        if (!multi) {
            FW_LOG(Error) << "Can't cast tile to TerrainFusionMultiTile: " << tile->type();
            return false;
        }
        if (!tilestore::serializeTile(*multi, serial_)) {
            FW_LOG(Error) << "Can't serialize tile. (" << key << ")";
            return false;
        }
        const int row = tmsRow(y, z);
        std::string failure = insertBlob(tileDb_, x, row, z, serial_.data(), serial_.size());
        if (!failure.empty()) {
            FW_LOG(Error) << failure << "x,y,z" << key << " (tile.db)";
            return false;
        }
        bool ok = true;
        std::string error;
        if (multi->image.data != nullptr) {
            const auto t0 = Clock::now();
            std::vector<uint8_t> rgba, png;
            const bool composed = tilestore::composeDomRgba(*multi, rgba, error);
            const auto t1 = Clock::now();
            if (!composed || !PngCodec::encodeImage(rgba.data(), uint32_t(multi->image.cols),
                                                    uint32_t(multi->image.rows), 4, png, 0)) {
                FW_LOG(Error) << "TileManagerFileSystemMultiFile - SetTile: Can't encode dom png file " << key
                              << (composed ? "" : ": " + error);
                ok = false;
            } else {
                const auto t2 = Clock::now();
                failure = insertBlob(domDb_, x, row, z, png.data(), png.size());
                if (!failure.empty()) {
                    FW_LOG(Error) << failure << "x,y,z" << key << " (dom.mbtiles)";
                    ok = false;
                }
                const auto t3 = Clock::now();
                domWriteSamples_.push_back(
                    {nanosSince(t0, t1), nanosSince(t1, t2), nanosSince(t2, t3), nanosSince(t0, t3)});
            }
        }
        if (multi->elevation.data != nullptr) {
            const auto t0 = Clock::now();
            std::vector<uint8_t> tiff;
            if (!encodeDsmTiff(*multi, tiff, error)) {
                FW_LOG(Error) << "TileManagerFileSystemMultiFile - SetTile: Can't encode dsm tiff file " << key << ": "
                              << error;
                ok = false;
            } else {
                const auto t1 = Clock::now();
                failure = insertBlob(dsmDb_, x, row, z, tiff.data(), tiff.size());
                if (!failure.empty()) {
                    FW_LOG(Error) << failure << "x,y,z" << key << " (dsm.mbtiles)";
                    ok = false;
                }
                const auto t2 = Clock::now();
                dsmWriteSamples_.push_back({nanosSince(t0, t1), nanosSince(t1, t2), nanosSince(t0, t2)});
            }
        }
        return ok;
    } catch (const std::exception& e) {
        FW_LOG(Error) << kPrefix << "SetTile: tile " << key << " not written: " << e.what();
        return false;
    }
}
