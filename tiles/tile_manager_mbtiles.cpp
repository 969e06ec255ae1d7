#include "tiles/tile_manager_mbtiles.h"

#include "fw/log.h"
#include "tile_store_io.h"
#include "tiles/png_codec.h"

#include <sqlite3.h>

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

// Writes one row; false with what failed in error.
bool insertBlob(sqlite3* db, int x, int row, int z, const void* data, size_t size, std::string& error) {
    Statement stmt(db, kInsert);
    if (!stmt.ok()) {
        error = "prepare failed " + std::to_string(stmt.code()) + " (" + sqlite3_errmsg(db) + ")";
        return false;
    }
    stmt.bindKey(z, x, row);
    if (sqlite3_bind_blob64(stmt.get(), 4, data, sqlite3_uint64(size), SQLITE_TRANSIENT) != SQLITE_OK) {
        error = std::string("bind failed (") + sqlite3_errmsg(db) + ")";
        return false;
    }
    const int step = sqlite3_step(stmt.get());
    if (step != SQLITE_DONE) {
        error = "step failed " + std::to_string(step) + " (" + sqlite3_errmsg(db) + ")";
        return false;
    }
    return true;
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
    : TilePayloadStore(folder, {kPrefix, "Can't serialize tile. (", ")", ""}, 0) {
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
        logTimingReport();
        if (domDb_) writeMetadata(domDb_, domPath_, area_);
        if (dsmDb_) writeMetadata(dsmDb_, dsmPath_, area_);
    } catch (...) {
        // A destructor throws nothing: the connections are closed below all the same.
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
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ready()) return nullptr;
    return readTile(x, y, z);
}

bool TileManagerFileSystemMultiFileMbtiles::SetTile(int x, int y, int z, std::shared_ptr<fw::TileBase> tile) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ready()) {
        FW_LOG(Error) << kPrefix << "SetTile: the databases are not open; tile " << tilestore::keyText(x, y, z)
                      << " not written";
        return false;
    }
    return writeTile(x, y, z, tile);
}

bool TileManagerFileSystemMultiFileMbtiles::getBlob(Blob blob, int x, int y, int z, std::vector<uint8_t>& bytes) {
    const int row = tmsRow(y, z);
    int prepare = SQLITE_OK;
    if (blob == Blob::Tile) {
        if (selectBlob(tileDb_, x, row, z, bytes, prepare) != SQLITE_ROW) {
            if (prepare != SQLITE_OK) FW_LOG(Error) << kPrefix << "Can't prepare database";
            return false;
        }
        if (bytes.empty()) {
            FW_LOG(Error) << kPrefix << "Can't read tile from database: " << x << ", " << row << ", " << z;
            return false;
        }
        return true;
    }
    const int step = selectBlob(blob == Blob::Dom ? domDb_ : dsmDb_, x, row, z, bytes, prepare);
    if (prepare != SQLITE_OK) {
        FW_LOG(Error) << (blob == Blob::Dom ? "GetTile: prepare failed " : "prepare failed ") << prepare << "x,y,z"
                      << tilestore::keyText(x, y, z);
        return false;
    }
    if (step != SQLITE_ROW) {
        FW_LOG(Error) << "step failed " << step << "x,y,z" << tilestore::keyText(x, y, z);
        return false;
    }
    return true;
}

bool TileManagerFileSystemMultiFileMbtiles::putBlob(Blob blob, int x, int y, int z,
                                                    const std::vector<uint8_t>& bytes) {
    sqlite3* const db = blob == Blob::Tile ? tileDb_ : blob == Blob::Dom ? domDb_ : dsmDb_;
    std::string error;
    if (insertBlob(db, x, tmsRow(y, z), z, bytes.data(), bytes.size(), error)) return true;
    FW_LOG(Error) << error << "x,y,z" << tilestore::keyText(x, y, z)
                  << (blob == Blob::Tile  ? " (tile.db)"
                      : blob == Blob::Dom ? " (dom.mbtiles)"
                                          : " (dsm.mbtiles)");
    return false;
}

std::string TileManagerFileSystemMultiFileMbtiles::blobName(Blob, int, int, int,
                                                            const std::string& keyAndReason) const {
    return keyAndReason;
}
