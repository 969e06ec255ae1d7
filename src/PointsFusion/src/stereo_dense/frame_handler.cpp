#include "stereo_dense/frame_handler.h"

#include "fw/log.h"
#include "fw/map_fusion.h"
#include "fw/messenger.h"
#include "pointsfusion/terrain_factory.h"
#include "zel/wall_clock.h"

FrameHandler::FrameHandler(nlohmann::json* config, zel::Chain* owner, int32_t frameTotal, bool noProgress)
    : zel::Chain("legach_pf", owner), config_(config), frameTotal_(frameTotal), noProgress_(noProgress) {
    setProgressRecord(ProgressNode());  // none until the chain stands
    cleaner_ = std::make_shared<Cleaner>();
    FW_LOG(Info) << "[POINTSFUSION] First frame input, init handler class";
    if (!config_ || !config_->is_object()) {
        FW_LOG(Error) << "[POINTSFUSION] configuration is not a JSON object";
        return;
    }
    nlohmann::json& cfg = *config_;
    if (cfg.contains("legacy_tf")) {
        FW_LOG(Info) << "[POINTSFUSION] First frame input, init TF";
        TerrainNode made = makeTerrainNode(cfg["legacy_tf"].dump(), this);
        if (!made.node) {
            FW_LOG(Error) << "cant find library terrainfusion";
            return;
        }
        terrain_ = std::move(made.node);
        if (!made.setUpOk) {
            FW_LOG(Error) << "[POINTSFUSION] terrain fusion set-up failed";
            return;
        }
    }
    auto tiling = cfg.find("tiling");
    if (tiling != cfg.end() && tiling->is_object()) {
        auto location = tiling->find("location");
        if (location != tiling->end() && location->is_string()) {
            FW_LOG(Info) << "[POINTSFUSION] First frame input, init point handler";
            try {
                pointCloud_ = std::make_unique<PointCloudTiles>(location->get<std::string>(), this);
            } catch (const std::exception& e) {
                FW_LOG(Error) << "[POINTSFUSION] point-cloud folder cannot be made: " << e.what();
                return;
            }
            if (!pointCloud_->ready()) {
                FW_LOG(Error) << "[POINTSFUSION] point-cloud writer cannot be made";
                return;
            }
        }
    }
    FW_LOG(Info) << "[POINTSFUSION] First frame input, init pruner";
    pruner_ = std::make_shared<Pruner>([this](dv::Var& m) { forwardToTerrainFusion(m); },
                                       [this](dv::Var& m) { forwardToPointCloudTiles(m); });
    FW_LOG(Info) << "[POINTSFUSION] First frame input, init scale";
    auto scale = cfg.find("scale");
    if (scale != cfg.end() && scale->is_number()) scale_ = scale->get<float>();
    FW_LOG(Info) << "[POINTSFUSION] First frame input, init deepth processor";
    dense_ = std::make_shared<DenseDepth>(scale_);
    if (!noProgress_) {
        // A terrain node that reports its own progress shares the stage: the
        // frames fed and the frames whose tiles it has written.
        auto* terrainNode = dynamic_cast<zel::Node*>(terrain_.get());
        auto* terrainFusion = dynamic_cast<fw::MapFusion*>(terrain_.get());
        terrainProgress_ = terrainNode && terrainFusion && terrainNode->progress().name == kTerrainStage;
        if (terrainProgress_) {
            terrainFusion->setFrameCount(frameTotal_);
            setProgressRecord(ProgressNode("Map Fusion", 0.0, 1.0, 1.0f, 0.0,
                                           {ProgressNode(kDepthStage, 0.0, double(frameTotal_), 0.5f, -1.0),
                                            ProgressNode(kTerrainStage, 0.0, double(frameTotal_) + 1.0, 0.5f,
                                                         -1.0)}));
        } else {
            setProgressRecord(ProgressNode("Map Fusion", 0.0, double(frameTotal_), 1.0f, 0.0));
        }
    }
    ready_ = true;
}

FrameHandler::~FrameHandler() {
    dense_.reset();
    cleaner_.reset();
    pruner_.reset();
    terrain_.reset();
    pointCloud_.reset();
}

void FrameHandler::frameFed() {
    const int32_t fed = countProcessed();
    if (noProgress_) return;
    if (terrainProgress_)
        updateChildProgress(ProgressNode(kDepthStage, double(fed), double(frameTotal_), 0.5f, zel::wallClockSeconds()));
    else
        setProgress(double(fed), -1.0);
}

void FrameHandler::forwardToTerrainFusion(dv::Var& message) {
    if (!terrain_) return;
    try {
        terrain_->call("point_cloud", &message);
    } catch (const std::exception& e) {
        FW_LOG(Error) << "[POINTSFUSION] terrain fusion refused a point cloud: " << e.what();
    }
}

void FrameHandler::forwardToPointCloudTiles(dv::Var& message) {
    if (!pointCloud_) return;
    try {
        pointCloud_->handlePointCloud(message);
    } catch (const std::exception& e) {
        FW_LOG(Error) << "[POINTSFUSION] point-cloud writer refused a point cloud: " << e.what();
    }
}
