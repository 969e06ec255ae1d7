#pragma once
// The processing chain of the "legacy_pf" back end, built on the first frame:
// dense depth -> "sbt.dense_frame" -> Cleaner -> "sbt.cleaned_frames" ->
// Pruner -> terrain fusion node ("point_cloud") and point-cloud writer.
// Output items and progress of the stages climb through this node.
//
// Threads: built and fed on the first feeding thread; the sinks are called on
// the pruner's thread; destruction releases the stages in order (dense depth,
// cleaner, pruner, terrain node, point-cloud writer) on the destroying thread.

#include "3dtiles/point_cloud_tiles.h"
#include "dv/var.h"
#include "stereo_dense/cleaner.h"
#include "stereo_dense/dense_depth.h"
#include "stereo_dense/pruner.h"
#include "zel/node.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <memory>

class FrameHandler : public zel::Chain {
public:
    // config is the back end's own object and must outlive the handler.
    FrameHandler(nlohmann::json* config, zel::Chain* owner, int32_t frameTotal, bool noProgress);
    ~FrameHandler() override;

    // Whether every stage was made; a handler that is not ready takes no frames.
    bool ready() const { return ready_; }
    DenseDepth* denseDepth() const { return dense_.get(); }
    float scale() const { return scale_; }
    bool noProgress() const { return noProgress_; }
    int32_t frameTotal() const { return frameTotal_; }
    // One more frame fed; returns the new count.
    int32_t countProcessed() { return ++processed_; }
    // One more frame fed, reported as progress (none for a handler without):
    // the whole stage, or its "Depth" share beside the terrain node's own.
    void frameFed();
    static constexpr const char* kDepthStage = "Depth";
    static constexpr const char* kTerrainStage = "Terrain Fusion";

    void forwardToTerrainFusion(dv::Var& message);
    void forwardToPointCloudTiles(dv::Var& message);

private:
    std::unique_ptr<PointCloudTiles> pointCloud_;
    std::shared_ptr<DenseDepth> dense_;
    std::shared_ptr<Cleaner> cleaner_;
    std::shared_ptr<Pruner> pruner_;
    std::shared_ptr<fw::GObject> terrain_;
    nlohmann::json* config_;
    float scale_ = 4.0f;
    int32_t frameTotal_;
    std::atomic<int32_t> processed_{0};
    bool noProgress_;
    bool terrainProgress_ = false;
    bool ready_ = false;
};
