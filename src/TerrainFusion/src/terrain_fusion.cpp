#include "terrain/terrain_fusion.h"

#include "steady_seconds.h"
#include "fw/log.h"
#include "fw/messenger.h"
#include "tiles/png_codec.h"
#include "tiles/tile_manager_cached.h"
#include "tiles/tile_manager_file_system.h"
#include "tiles/tile_manager_mbtiles.h"
#include "zel/tileset.h"
#include "zel/wall_clock.h"

#include <chrono>
#include <cmath>
#include <exception>
#include <filesystem>
#include <thread>

bool TerrainFusionSettings::fromConfig(const std::string& config, TerrainFusionSettings& settings) {
    namespace fs = std::filesystem;
    using nlohmann::json;
    json parsed;
    try {
        parsed = json::parse(config);
    } catch (const std::exception& e) {
        FW_LOG(Error) << "TerrainFusion::TerrainFusion: failed to parse config string: " << e.what();
        return false;
    }
    // The member's value when its kind passes the test.
    using Kind = bool (json::*)() const noexcept;
    const auto member = [](const json& section, const char* name, Kind kind) -> const json* {
        if (!section.is_object()) return nullptr;
        const auto it = section.find(name);
        return it != section.end() && ((*it).*kind)() ? &*it : nullptr;
    };
    const Kind text = &json::is_string, object = &json::is_object, number = &json::is_number,
               boolean = &json::is_boolean;

    TerrainFusionSettings s;
    const json* workDir = member(parsed, "work_dir", text);
    if (!workDir) {
        FW_LOG(Error) << "TerrainFusion::TerrainFusion: failed to parse config string: work_dir is missing";
        return false;
    }
    s.workDir = workDir->get<std::string>();
    {
        std::error_code ec;
        if (!fs::is_directory(s.workDir, ec)) {
            fs::create_directories(s.workDir, ec);
            if (ec || !fs::is_directory(s.workDir, ec)) {
                FW_LOG(Error) << "TerrainFusion::TerrainFusion: failed to create work folder: " << s.workDir;
                return false;
            }
        }
    }
    s.tilesFolder = (fs::path(s.workDir) / "tiles").string();
    const json* dom = member(parsed, "dom", object);
    const json* dsm = member(parsed, "dsm", object);
    if (!dom || !dsm) {
        FW_LOG(Error) << "TerrainFusion::TerrainFusion: failed to parse config string: dom or dsm is missing";
        return false;
    }
    if (const json* scale = member(*dom, "scale", number)) s.scale = scale->get<float>();
    if (const json* maxZoom = member(*dom, "max_zoom_level", number))
        s.maxZoom = static_cast<int>(maxZoom->get<double>());
    if (!(s.scale > 0.0f) || !std::isfinite(s.scale)) {
        FW_LOG(Error) << "TerrainFusion::TerrainFusion: dom scale must be a positive number, got " << s.scale;
        return false;
    }
    s.maxZoom = std::max(0, std::min(s.maxZoom, 26));
    const json* domTiling = member(*dom, "tiling", object);
    const auto folderOf = [&](const json& section, const char* fallback) {
        const json* tiling = member(section, "tiling", object);
        const json* location = tiling ? member(*tiling, "location", text) : nullptr;
        return location ? location->get<std::string>() : (fs::path(s.workDir) / fallback).string();
    };
    s.domFolder = folderOf(*dom, "dom");
    s.dsmFolder = folderOf(*dsm, "dsm");
    if (const json* storage = domTiling ? member(*domTiling, "storage", number) : nullptr)
        s.storageKind = static_cast<int>(storage->get<double>());
    if (const json* specific = member(parsed, "specific", object)) s.specific = *specific;
    const json* zoom = member(parsed, "zoom_level", number);
    const json* fetchGps = member(parsed, "fetch_gps", boolean);
    if (zoom && fetchGps) {
        s.zoomGiven = true;
        s.zoomLevel = static_cast<int>(zoom->get<double>());
        s.fetchGps = fetchGps->get<bool>();
    }
    settings = std::move(s);
    return true;
}

TerrainFusion::TerrainFusion(const std::string& config, zel::Node* parent) : zel::Node("legacy_tf", parent) {
    FW_LOG(Info) << "[TERRAINFUSION] start inition";
    if (!TerrainFusionSettings::fromConfig(config, settings_)) return;
    if (settings_.specific.is_object()) fw::Settings::loadJson(settings_.specific, store_, "");
    renderMode_ = store_.GetInt("terrainfusion.render_mode", 3);

    bool managerMade = false;
    try {
        managerMade = setupTileManager();
    } catch (const std::exception& e) {
        FW_LOG(Error) << "TerrainFusion::TerrainFusion: " << e.what();
    }
    if (!managerMade) {
        tileManager_.reset();
        FW_LOG(Error) << "TerrainFusion::TerrainFusion: failed to set up tile manager";
        return;
    }
    FW_LOG(Info) << "[TERRAINFUSION] normal config init done";

    if (settings_.zoomGiven) {
        FW_LOG(Info) << "[TERRAINFUSION] using precomputed zoom level";
        zoomLevel_ = applyScaleRule(settings_.zoomLevel, settings_.scale, settings_.maxZoom);
        FW_LOG(Info) << "[TERRAINFUSION] Using input tile zoom level:" << zoomLevel_;
        TileArea area = tileManager_->getTileArea();
        area.z = zoomLevel_;
        tileManager_->setTileArea(area);
        zoomPrecomputed_ = true;
        fetchGps_ = settings_.fetchGps;
    } else {
        FW_LOG(Info) << "[TERRAINFUSION] wait to compute inner zoom level";
        zoomPrecomputed_ = false;
    }
    PngCodec::init();
    auto domItem = std::make_shared<TfTileset>("dom");
    domItem->name = "dom_01";
    domItem->location = settings_.domFolder;
    auto dsmItem = std::make_shared<TfTileset>("dsm");
    dsmItem->name = "dsm_01";
    dsmItem->location = settings_.dsmFolder;
    keepOutput(domItem);
    keepOutput(dsmItem);
    setProgressRecord(ProgressNode("Terrain Fusion", 0.0, 1.0, 1.0f, -1.0));
    setUpOk_ = true;
    FW_LOG(Info) << "[TERRAINFUSION] init done";
}

TerrainFusion::~TerrainFusion() {
    try {
        std::shared_ptr<fw::detail::ThreadPool> pool;
        {
            std::lock_guard<std::mutex> lock(poolMutex_);
            pool.swap(pool_);
        }
        pool.reset();  // finishes every queued task
        if (tileManager_) {
            FW_LOG(Info) << "Writing tiles...: ";
            tileManager_->call("saveCache", nullptr);
            const int64_t lost = tilesLost();
            if (lost > 0) FW_LOG(Error) << "TerrainFusion: " << lost << " tiles could not be written";
            const double now = zel::wallClockSeconds();
            for (const std::shared_ptr<zel::OutputItem>& item : outputs()) {
                if (item->filesLost == lost) continue;
                item->filesLost = lost;
                item->time = now;
                setOutput(item);
            }
        }
        reportProgress(true);
    } catch (...) {
        // Nothing leaves a destructor; the tiles it could not write are
        // counted in the tilesets already, and the log may be what threw.
    }
}

int64_t TerrainFusion::tilesLost() const {
    auto* cache = dynamic_cast<fw::TileManagerCached*>(tileManager_.get());
    return cache ? static_cast<int64_t>(cache->failedTiles()) : 0;
}

void TerrainFusion::setFrameCount(int32_t count) {
    fw::MapFusion::setFrameCount(count);
    frameTotal_.store(count);
}

void TerrainFusion::reportProgress(bool whole) {
    std::lock_guard<std::mutex> report(progressReportMutex_);
    uint64_t queued = 0, passed = 0;
    {
        std::lock_guard<std::mutex> lock(turnMutex_);
        queued = nextTurn_;
        passed = servedTurn_;
    }
    const uint64_t expected = static_cast<uint64_t>(std::max(frameTotal_.load(), 0));
    const double total = static_cast<double>(std::max(queued, expected)) + 1.0;
    setProgress(whole ? total : static_cast<double>(passed), total);
}

bool TerrainFusion::setupTileManager() {
    std::shared_ptr<fw::TileManager> held;
    const TerrainFusionSettings& s = settings_;
    if (s.storageKind == 1) {
        held = std::make_shared<TileManagerFileSystemMultiFile>(s.tilesFolder, s.domFolder, s.dsmFolder);
    } else if (s.storageKind == 2) {
        auto mbtiles = std::make_shared<TileManagerFileSystemMultiFileMbtiles>(s.tilesFolder, s.domFolder, s.dsmFolder);
        if (!mbtiles->ready()) return false;
        held = mbtiles;
    } else {
        return false;
    }
    const std::string coordinate = store_.GetString("terrainfusion.coordinate", "GPS");
    if (coordinate == "GCJ") {
        projection_ = std::make_shared<fw::GCJ02Projection>();
    } else if (coordinate == "BAIDU") {
        projection_ = std::make_shared<fw::BaiduProjection>();
    } else {
        projection_ = std::make_shared<fw::MercatorProjection>();
    }
    const int capacity = store_.GetInt("terrainfusion.cache_size", 1000);
    tileManager_ = std::make_shared<TileManagerCachedGDAL>(projection_, held,
                                                           static_cast<uint32_t>(std::max(capacity, 1)));
    return true;
}

std::string TerrainFusion::type() const { return "TerrainFusion"; }

bool TerrainFusion::valid() { return true; }

bool TerrainFusion::setContext(void*) { return true; }

bool TerrainFusion::busy() const {
    std::lock_guard<std::mutex> lock(poolMutex_);
    return pool_ && (pool_->pendingCount() > 0 || pool_->runningCount() > 0);
}

void TerrainFusion::call(const std::string& command, void* arg) {
    if (command == "TerrainFusion_Progress") {
        if (arg) *static_cast<double*>(arg) = busy() ? 1.0 : 0.0;
    } else if (command == "point_cloud") {
        if (arg) feedPointCloud(*static_cast<dv::Var*>(arg));
    } else if (command == "point_cloud_with_dsmdom") {
        if (arg) feedPointCloudWithDsmDom(*static_cast<dv::Var*>(arg));
    } else if (command == "flush_tile_cache") {
        if (tileManager_) {
            FW_LOG(Info) << "Writing tiles...";
            tileManager_->call("saveCache", nullptr);
        }
    } else {
        FW_LOG(Error) << "TerrainFusion::call: unknown command: " << command;
    }
}

void TerrainFusion::ensurePool() {
    std::lock_guard<std::mutex> lock(poolMutex_);
    if (pool_) return;
    const int threads = store_.GetInt("terrainfusion.threads", static_cast<int>(std::thread::hardware_concurrency() / 2) + 1);
    pool_ = std::make_shared<fw::detail::ThreadPool>(std::max(threads, 1));
    FW_LOG(Info) << "[TERRAINFUSION] " << std::max(threads, 1) << " workers";
}

void TerrainFusion::releaseImage(const std::shared_ptr<fw::MapFrame>& frame) {
    try {
        if (!frame->setImage(fw::GImage(), 0, 0)) FW_LOG(Warning) << "Failed to release image!";
    } catch (const std::exception& e) {
        FW_LOG(Warning) << "Failed to release image! " << e.what();
    }
}

bool TerrainFusion::feedFrame(const std::shared_ptr<fw::MapFrame>& frame) {
    std::shared_ptr<fw::detail::ThreadPool> pool;
    {
        std::lock_guard<std::mutex> lock(poolMutex_);
        pool = pool_;
    }
    if (!pool || !frame) return false;
    std::shared_ptr<Turn> turn = takeTurn();
    pool->Add([this, frame, turn] {
        try {
            processFrameInTurn(frame, turn.get());
        } catch (const std::exception& e) {
            FW_LOG(Error) << "TerrainFusion: frame " << frame->id << " failed: " << e.what();
        } catch (...) {
            FW_LOG(Error) << "TerrainFusion: frame " << frame->id << " failed";
        }
        turn->finish();
        releaseImage(frame);
    });
    return true;
}

void TerrainFusion::feedPointCloud(const dv::Var& message) {
    if (!setUpOk_) {
        FW_LOG(Error) << "TerrainFusion::feedPointCloud: failed to set up tile manager";
        return;
    }
    ensurePool();
    const dv::Var frameItem = message[0];
    if (frameItem.isUndefined() || frameItem.isNull()) {
        FW_LOG(Error) << "TerrainFusion::feedPointCloud: message without a frame";
        return;
    }
    auto frame = frameItem.convert<std::shared_ptr<fw::MapFrame>>();
    auto points = message[1].convert<std::vector<pt::Point3d>>();
    if (!frame) {
        FW_LOG(Error) << "TerrainFusion::feedPointCloud: message without a frame";
        return;
    }
    if (points.empty()) {
        FW_LOG(Warning) << "No points in frame: " << frame->id;
        return;
    }
    std::shared_ptr<fw::detail::ThreadPool> pool;
    {
        std::lock_guard<std::mutex> lock(poolMutex_);
        pool = pool_;
    }
    auto shared = std::make_shared<std::vector<pt::Point3d>>(std::move(points));
    std::shared_ptr<Turn> turn = takeTurn();
    pool->Add([this, frame, shared, turn] {
        runPointCloudTask(frame, *shared, *turn);
        turn->finish();
    });
    while (pool->pendingCount() > 8) std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void TerrainFusion::runPointCloudTask(const std::shared_ptr<fw::MapFrame>& frame,
                                      const std::vector<pt::Point3d>& points, Turn& turn) {
    bool ok = false;
    try {
        FW_LOG(Info) << "Frame (" << frame->id << "):: Node:TF";
        ok = processPointCloudInTurn(frame, points, &turn);
    } catch (const std::exception& e) {
        FW_LOG(Error) << "TerrainFusion: frame " << frame->id << " failed: " << e.what();
    } catch (...) {
        FW_LOG(Error) << "TerrainFusion: frame " << frame->id << " failed";
    }
    releaseImage(frame);
    // The tileset update and the eviction in the frames' order as well.
    turn.wait();
    try {
        if (ok) updateTilesets();
    } catch (const std::exception& e) {
        FW_LOG(Error) << "TerrainFusion: tilesets not updated: " << e.what();
    } catch (...) {
        // Nothing leaves a pool worker; the next frame's update sets the
        // tilesets again, and an exception of unknown type has no text.
    }
    try {
        AdaptiveRemoveTileCache(steadySeconds());
    } catch (const std::exception& e) {
        FW_LOG(Error) << "TerrainFusion: eviction failed: " << e.what();
    } catch (...) {
        // Nothing leaves a pool worker; the tiles left cached go at the next
        // eviction or the final flush, and the exception has no text.
    }
}

void TerrainFusion::feedPointCloudWithDsmDom(const dv::Var& message) {
    if (!setUpOk_) {
        FW_LOG(Error) << "TerrainFusion::feedPointCloudWithDsmDom: failed to set up tile manager";
        return;
    }
    const int index = message[0].convert<int>();
    const std::string text = message[1].convert<std::string>();
    const int zoomA = message[2].convert<int>();
    const int zoomB = message[3].convert<int>();
    if (message[4].isUndefined() || message[4].isNull()) {
        FW_LOG(Error) << "TerrainFusion::feedPointCloudWithDsmDom: message without a frame";
        return;
    }
    auto frame = message[4].convert<std::shared_ptr<fw::MapFrame>>();
    cv::Mat dsm = message[5].convert<cv::Mat>();
    cv::Mat dom = message[6].convert<cv::Mat>();
    cv::Mat weight = message[7].convert<cv::Mat>();
    if (!frame) {
        FW_LOG(Error) << "TerrainFusion::feedPointCloudWithDsmDom: message without a frame";
        return;
    }
    FW_LOG(Info) << "Frame (" << index << "):: Node:TF";
    // After the frames queued before it.
    const std::shared_ptr<Turn> turn = takeTurn();
    turn->wait();
    bool ok = false;
    try {
        ok = processDsmDomFrame(index, text, zoomA, zoomB, frame, dsm, dom, weight);
    } catch (const std::exception& e) {
        FW_LOG(Error) << "TerrainFusion: frame " << index << " failed: " << e.what();
    }
    releaseImage(frame);
    if (ok) updateTilesets();
    FW_LOG(Info) << "TerrainFusion process ind: " << index << ", start to AdaptiveRemoveTileCache";
    AdaptiveRemoveTileCache(steadySeconds());
    FW_LOG(Info) << "TerrainFusion process ind: " << index << ", AdaptiveRemoveTileCache process done, ready to return";
}

int TerrainFusion::renderZooms() {
    const int n = store_.GetInt("terrainfusion.render_zooms", 6);
    return std::max(1, std::min(n, 7));
}

void TerrainFusion::updateTilesets() {
    if (!tileManager_) return;
    TileArea area;
    int maxZoom = 0;
    {
        std::lock_guard<std::mutex> lock(stitchMutex_);
        area = tileManager_->getTileArea();
        maxZoom = tileManager_->maxZoomLevel();
    }
    const int minZoom = std::max(0, maxZoom - renderZooms() + 1);
    const int64_t lost = tilesLost();
    const double now = zel::wallClockSeconds();
    for (const std::shared_ptr<zel::OutputItem>& item : outputs()) {
        auto tileset = std::dynamic_pointer_cast<zel::Tileset>(item);
        if (!tileset) {
            FW_LOG(Error) << "Failed to cast tileset";
            continue;
        }
        tileset->geometry = {static_cast<double>(area.xMin), static_cast<double>(area.yMin),
                             static_cast<double>(area.xMax), static_cast<double>(area.yMax)};
        tileset->zoomRange = {maxZoom, minZoom};
        tileset->time = now;
        tileset->state = zel::ItemState::Updating;
        tileset->filesLost = lost;
        setOutput(tileset);
    }
}

std::shared_ptr<TerrainFusion> createTerrainFusionInstance(const std::string& config, zel::Chain* owner,
                                                           void* messenger, void* logSinks) {
    if (messenger && logSinks)
        fw::setGlobalServices(static_cast<fw::Messenger*>(messenger),
                              *static_cast<std::shared_ptr<fw::LogSinkSet>*>(logSinks));
    return std::shared_ptr<TerrainFusion>(new TerrainFusion(config, owner));
}
