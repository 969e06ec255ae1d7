#pragma once
// The terrain fusion node "legacy_tf": grids the dense points of each frame
// into local DSM, DOM and weight rasters and blends them into cached web-map
// tiles, which it evicts to the tile store by age.
//
// Threads: call(), feedFrame() and feedPointCloud() may be called from any
// thread (point clouds from one feeder, which may wait while more than 8
// tasks are queued); the per-frame work runs on the node's pool, several
// frames at once. Locks, always taken in this order:
//   zoomMutex_ (settling origin and zoom; guards the geo-reference and zoom),
//   stitchMutex_ (every tile read-modify-write of the tile writers, the tile
//     area and the tileset update; rasterisation runs outside it),
//   the cache's lock, then its store's lock (taken inside the manager's calls).
// frameWindowMutex_ (the eviction window) comes before the cache's lock and is
// never held with zoomMutex_ or stitchMutex_. The process-wide undistorter
// lock is held alone. stitchMutex_ is never taken inside the cache's lock,
// and the cache neither writes nor evicts a tile that a writer holds, so the
// writers and the eviction cannot deadlock.
// Queued frames rasterise at once but take turns, in the order they were
// queued, to settle the zoom, to write their tiles and to evict, so the same
// frames give the same tiles whichever worker finishes first. turnMutex_ is
// held only to wait for or pass a turn, or to read the turns for a progress
// report (inside progressReportMutex_); a turn passed reports the progress
// after turnMutex_ is released.

#include "fw/map_fusion.h"
#include "fw/map_frame.h"
#include "fw/map_projection.h"
#include "fw/pose.h"
#include "fw/settings.h"
#include "fw/thread_pool.h"
#include "tiles/tile_manager.h"
#include "zel/node.h"
#include "dv/var.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core/mat.hpp>

namespace zel {
class Chain;
}
namespace fw {
class UndistorterImpl;
}

// The node's settings, from its "legacy_tf" configuration object.
struct TerrainFusionSettings {
    std::string workDir;      // "work_dir"
    std::string tilesFolder;  // workDir/tiles: the tile store's own files
    // "dom" and "dsm": "tiling"."location", else workDir/dom and workDir/dsm.
    std::string domFolder, dsmFolder;
    float scale = 1.0f;    // "dom"."scale": the DOM scale rule's factor, above 0
    int maxZoom = 26;      // "dom"."max_zoom_level", held to 0..26
    int storageKind = 1;   // "dom"."tiling"."storage": 1 folders, 2 MBTiles
    // "zoom_level" and "fetch_gps", given together or not at all.
    bool zoomGiven = false;
    int zoomLevel = 0;
    bool fetchGps = false;
    // "specific": the store's settings ("terrainfusion.*"); null when absent.
    nlohmann::json specific;

    // Makes the work folder when it is missing, as the node's files go there.
    // False, with an ERROR, for a configuration that is not JSON, lacks
    // "work_dir", "dom" or "dsm", names a work folder that cannot be made or
    // a scale that is not a positive number.
    static bool fromConfig(const std::string& config, TerrainFusionSettings& settings);
};

class TerrainFusion : public fw::MapFusion, public zel::Node {
public:
    // One frame's rasters over a whole rectangle of tiles at the node's zoom.
    struct LocalDSMData {
        double timestamp = 0.0;
        int64_t xMin = 0, yMin = 0, xMax = 0, yMax = 0;
        int64_t pixelOriginX = 0, pixelOriginY = 0;
        int64_t pixelCornerX = 0, pixelCornerY = 0;
        int32_t width = 0, height = 0;
        int64_t tileWidth = 0, tileHeight = 0;
        int64_t dsmTileWidth = 0, dsmTileHeight = 0;
        cv::Mat dom;     // 8-bit BGR, width x height, white where no data
        cv::Mat weight;  // 8-bit, width x height, 0 where no data
        cv::Mat dsm;     // float, (width / 4) x (height / 4), -1e9 where no data
        double meanHeight = 0.0;
    };

    // Most tiles a frame's rectangle may hold; a frame whose points spread
    // further (outlier points) is refused with an ERROR.
    static constexpr int64_t kMaxFrameTiles = 800;

    // config: the "legacy_tf" object as JSON text, read by
    // TerrainFusionSettings::fromConfig. Failures are logged and stop the
    // construction where they happen (see setUpOk()).
    TerrainFusion(const std::string& config, zel::Node* parent);
    // Finishes the queued tasks, then writes every modified cached tile; the
    // tiles not written are counted in both tilesets' filesLost, and the
    // progress is whole only after these writes.
    ~TerrainFusion() override;

    std::string type() const override;
    // "TerrainFusion_Progress" (double*), "point_cloud" and
    // "point_cloud_with_dsmdom" (dv::Var*), "flush_tile_cache".
    void call(const std::string& command, void* arg) override;
    bool valid() override;
    // Queues processFrame on the pool; false before the first point cloud.
    bool feedFrame(const std::shared_ptr<fw::MapFrame>& frame) override;
    bool setContext(void* context) override;
    // The frames to expect: the total of the "Terrain Fusion" progress, which
    // counts the frames whose tiles are written and one more step for the
    // last flush.
    void setFrameCount(int32_t count) override;
    // [frame, points]: queues the frame's work; refused by a node whose set-up
    // failed and for an undefined frame.
    virtual void feedPointCloud(const dv::Var& message);
    // [index, text, zoom part, zoom part, frame, DSM, DOM, weight], on the
    // caller's thread.
    virtual void feedPointCloudWithDsmDom(const dv::Var& message);

    // Whether the construction ran to its end (tile manager made).
    bool setUpOk() const { return setUpOk_; }

    // Per-frame work.
    bool processPointCloud(const std::shared_ptr<fw::MapFrame>& frame, const std::vector<pt::Point3d>& points);
    bool processFrame(const std::shared_ptr<fw::MapFrame>& frame);
    bool identifyZoom(const std::shared_ptr<fw::MapFrame>& frame, bool computeZoom);
    bool identifyZoomWithoutGPS(const std::shared_ptr<fw::MapFrame>& frame, bool computeZoom);
    bool prepareReadyRasters(int32_t id, int64_t tileX, int64_t tileY, int32_t zoomIn,
                             const std::shared_ptr<fw::MapFrame>& frame, LocalDSMData& record, cv::Mat dsm,
                             cv::Mat dom, cv::Mat weight);
    bool makeMap_idw(const std::shared_ptr<fw::MapFrame>& frame, LocalDSMData& record,
                     const std::vector<pt::Point3d>& points);
    bool processDsmDomFrame(int index, const std::string& text, int zoomA, int zoomB,
                            const std::shared_ptr<fw::MapFrame>& frame, cv::Mat dsm, cv::Mat dom, cv::Mat weight);

    // Tile writers.
    bool stitchMultiband(const LocalDSMData& record);
    bool stitchDSM(const LocalDSMData& record);
    void renderLowerZooms(int x, int y, int z);
    void updateTilesets();
    // Records a frame's time and evicts the tiles older than the window.
    void AdaptiveRemoveTileCache(double frameTime);

    // The zoom after the DOM scale rule: z - round(log2 scale), capped.
    static int applyScaleRule(int z, float scale, int maxZoom);
    // Number of lower levels rendered ("terrainfusion.render_zooms", 1..7).
    int renderZooms();
    // Pyramid levels of the tile writers.
    int pyramidLevels();

    int zoomLevel() const;
    bool zoomSettled() const;
    std::shared_ptr<fw::TileManager> tileManager() const { return tileManager_; }
    std::shared_ptr<fw::PureProjection> projection() const { return projection_; }
    fw::Settings& store() { return store_; }
    int storageKind() const { return settings_.storageKind; }
    const std::string& domFolder() const { return settings_.domFolder; }
    const std::string& dsmFolder() const { return settings_.dsmFolder; }
    // Tasks queued or running.
    bool busy() const;

    // Geo-reference of the map, copied under zoomMutex_.
    struct GeoReference {
        fw::SE3 enuToEcef;
        fw::SE3 ecefToEnu;
        fw::SIM3 sceneToEcef;
        float heightOffset = 0.0f;
    };
    GeoReference geoReference() const;

private:
    // One queued frame's place in the order of tile writes. wait() returns
    // once every earlier turn has finished; finish() (also on destruction,
    // so a task dropped unrun passes its turn) lets the next one go.
    class Turn {
    public:
        Turn(TerrainFusion& node, uint64_t number) : node_(node), number_(number) {}
        ~Turn() { finish(); }
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;
        void wait();
        void finish();

    private:
        TerrainFusion& node_;
        uint64_t number_;
        bool finished_ = false;
    };
    std::shared_ptr<Turn> takeTurn();
    bool processPointCloudInTurn(const std::shared_ptr<fw::MapFrame>& frame, const std::vector<pt::Point3d>& points,
                                 Turn* turn);
    bool processFrameInTurn(const std::shared_ptr<fw::MapFrame>& frame, Turn* turn);

    bool setupTileManager();
    // Settles origin and zoom before a frame; false when the frame must fail.
    bool settleZoom(const std::shared_ptr<fw::MapFrame>& frame);
    // The frame's pyramids, made before its turn (they need no tile), then
    // the tile writer of the render mode in its turn (at once without one).
    bool renderFrame(const std::shared_ptr<fw::MapFrame>& frame, const LocalDSMData& record, uint64_t name,
                     Turn* turn = nullptr);
    void writeInspectionFiles(uint64_t name, const LocalDSMData& record);
    void ensurePool();
    void runPointCloudTask(const std::shared_ptr<fw::MapFrame>& frame, const std::vector<pt::Point3d>& points,
                           Turn& turn);
    void releaseImage(const std::shared_ptr<fw::MapFrame>& frame);
    // Cached tiles whose writes failed (0 without a cache).
    int64_t tilesLost() const;
    // Frames whose turns have passed, of the frames expected and the flush;
    // whole once the last tiles are written.
    void reportProgress(bool whole);
    // A frame's colour bands (from its colour with the uncovered pixels
    // filled) and weight levels; empty when its rasters do not fit its
    // rectangle.
    struct FramePyramids {
        std::vector<cv::Mat> bands, weights;
    };
    FramePyramids framePyramids(const LocalDSMData& record);
    // A frame's record begun: its time and the projection's tile sizes.
    void startRecord(const fw::MapFrame& frame, LocalDSMData& record) const;
    // Both tile writers (tile_blending.cpp): each tile of the frame's
    // rectangle merged with the frame or built from it; multiband, then each
    // tile's colour rebuilt from its bands; then the lower zooms.
    bool stitchTiles(const LocalDSMData& record, const FramePyramids& pyramids, bool multiband);

    fw::Settings store_;
    std::deque<double> frameWindow_;
    std::mutex frameWindowMutex_;
    bool zoomPending_ = true;
    bool zoomPrecomputed_ = false;
    bool fetchGps_ = false;
    int zoomLevel_ = 0;
    int renderMode_ = 3;
    GeoReference geo_;
    std::shared_ptr<fw::TileManager> tileManager_;
    std::shared_ptr<fw::PureProjection> projection_;
    mutable std::mutex zoomMutex_;
    std::mutex stitchMutex_;
    std::mutex turnMutex_;
    std::condition_variable turnCondition_;
    uint64_t nextTurn_ = 0;       // the number the next queued frame takes
    uint64_t servedTurn_ = 0;     // the turn that may write now
    std::set<uint64_t> passed_;   // finished turns after servedTurn_
    std::shared_ptr<fw::detail::ThreadPool> pool_;
    mutable std::mutex poolMutex_;
    std::atomic<int32_t> frameTotal_{-1};
    // Held while a progress report is made, so reports climb in order; taken
    // with no other lock held, before turnMutex_ (read briefly) and the
    // nodes' progress locks.
    std::mutex progressReportMutex_;
    TerrainFusionSettings settings_;
    bool setUpOk_ = false;
};

// Factory of the "legacy_tf" node; messenger (fw::Messenger*) and logSinks
// (std::shared_ptr<fw::LogSinkSet>*) are adopted when both are given. The
// node is returned even when its set-up failed (see setUpOk()).
std::shared_ptr<TerrainFusion> createTerrainFusionInstance(const std::string& config, zel::Chain* owner,
                                                           void* messenger, void* logSinks);
