#include "pointsfusion/points_fusion.h"

#include "fw/log.h"
#include "fw/settings.h"
#include "zel/points_fusion_factory.h"

#include <algorithm>
#include <vector>

PointsFusion::PointsFusion(const std::string& config, zel::Chain* owner) : owner_(owner) {
    try {
        config_ = nlohmann::json::parse(config);
    } catch (const std::exception&) {
        config_ = nlohmann::json();
    }
    if (!config_.is_object()) {
        FW_LOG(Error) << "[POINTSFUSION] config is not a JSON object, frames will be refused";
        return;
    }
    configOk_ = true;
    auto specific = config_.find("specific");
    if (specific != config_.end() && specific->is_object()) fw::Settings::loadJson(*specific, fw::Settings::instance(), "");
    fw::Messenger& messenger = fw::Messenger::instance();
    mapSubscriber_ = messenger.subscribe("sbt.map2fuse", 0, &PointsFusion::onMapMessage, this);
    frameSubscriber_ = messenger.subscribe("sdk.fr2fuse", 0, &PointsFusion::onFrameMessage, this);
    stopSubscriber_ = messenger.subscribe("sbt.input.stop", 0, &PointsFusion::onStopMessage, this);
}

PointsFusion::~PointsFusion() {
    std::lock_guard<std::mutex> lock(mutex_);
    frameSubscriber_.shutdown();
    mapSubscriber_.shutdown();
    handler_.reset();
    stopSubscriber_.shutdown();
}

std::string PointsFusion::type() const { return "PointsFusion"; }

void PointsFusion::call(const std::string& command, void* arg) {
    if (command == "PointsFusion_Failed" && arg) *static_cast<bool*>(arg) = failed_.load();
}

bool PointsFusion::valid() { return true; }

void PointsFusion::onMapMessage(const std::shared_ptr<fw::Map>& map) { feedMap(map); }
void PointsFusion::onFrameMessage(const std::shared_ptr<fw::MapFrame>& frame) { feedFrame(frame); }
void PointsFusion::onStopMessage(const bool&) { stop(); }
void PointsFusion::stop() { stopped_.store(true); }

bool PointsFusion::feedFrame(const std::shared_ptr<fw::MapFrame>& frame) {
    if (stopped_.load() || !frame) return false;
    if (handlerPending_) {
        if (configOk_) handler_ = std::make_shared<FrameHandler>(&config_, owner_, expectedFrames_, live_);
        handlerPending_ = false;
    }
    if (stopped_.load()) return false;
    if (!handler_ || !handler_->ready()) {
        // Nothing can be made of the frames: refused, said once.
        if (!failed_.exchange(true)) FW_LOG(Error) << "[POINTSFUSION] processing chain not built, frames refused";
        frame->setImage(fw::GImage(), 0, 0);
        return false;
    }
    handler_->denseDepth()->AddFrame(frame);
    handler_->frameFed();
    return true;
}

bool PointsFusion::feedMap(const std::shared_ptr<fw::Map>& map) {
    if (stopped_.load() || !map) return true;
    if (configOk_) {
        auto tf = config_.find("legacy_tf");
        if (tf != config_.end() && tf->is_object()) {
            FW_LOG(Info) << "Calculate zoom level for map";
            if (calcZoomLevel(map)) {
                (*tf)["zoom_level"] = zoomLevel_;
                (*tf)["fetch_gps"] = fetchGps_;
                FW_LOG(Info) << "[POINTSFUSION] set pre computed gps and zoom level";
            }
        }
    }
    live_ = false;
    std::vector<std::shared_ptr<fw::MapFrame>> frames;
    map->getFrames(frames);
    FW_LOG(Info) << "[POINTSFUSION] pointfusion feed " << frames.size() << " frames in";
    expectedFrames_ = int32_t(frames.size());
    frames.erase(std::remove(frames.begin(), frames.end(), nullptr), frames.end());
    std::stable_sort(frames.begin(), frames.end(),
                     [](const std::shared_ptr<fw::MapFrame>& a, const std::shared_ptr<fw::MapFrame>& b) {
                         return a->id < b->id;
                     });
    for (const auto& frame : frames) feedFrame(std::shared_ptr<fw::MapFrame>(frame));
    return true;
}

std::shared_ptr<fw::MapFusion> createPointsFusionInstance(const std::string& config, zel::Chain* owner, void* messenger,
                                                          void* logSinks) {
    if (messenger && logSinks)
        fw::setGlobalServices(static_cast<fw::Messenger*>(messenger),
                              *static_cast<std::shared_ptr<fw::LogSinkSet>*>(logSinks));
    return std::shared_ptr<fw::MapFusion>(new PointsFusion(config, owner));
}
