#pragma once
// The dense back end "legacy_pf": accepts located frames (one at a time, or a
// whole map in id order), builds its FrameHandler on the first frame and hands
// every frame to the dense depth stage. Also fed through "sbt.map2fuse",
// "sdk.fr2fuse" and stopped by "sbt.input.stop".
//
// Threads: feedFrame and feedMap run on the caller's thread, one caller at a
// time; stop may come from any thread. The destructor ends the subscriptions
// and releases the handler (which flushes the chain) under its lock.

#include "fw/map.h"
#include "fw/map_frame.h"
#include "fw/map_fusion.h"
#include "fw/messenger.h"
#include "fw/map_projection.h"
#include "stereo_dense/frame_handler.h"
#include "zel/node.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

class PointsFusion : public fw::MapFusion {
public:
    // A config text that is not a JSON object is refused with an ERROR line:
    // the back end then refuses every frame.
    PointsFusion(const std::string& config, zel::Chain* owner);
    ~PointsFusion() override;

    std::string type() const override;
    // "PointsFusion_Failed" (bool*): true when frames were refused because
    // the chain could not be made.
    void call(const std::string& command, void* arg) override;
    bool valid() override;
    bool feedMap(const std::shared_ptr<fw::Map>& map) override;
    bool feedFrame(const std::shared_ptr<fw::MapFrame>& frame) override;
    // Flying height, ground sampling distance and zoom level of a whole map.
    virtual bool calcZoomLevel(const std::shared_ptr<fw::Map>& map);

    void onMapMessage(const std::shared_ptr<fw::Map>& map);
    void onFrameMessage(const std::shared_ptr<fw::MapFrame>& frame);
    void onStopMessage(const bool& ignored);
    void stop();

    int32_t zoomLevel() const { return zoomLevel_; }
    bool fetchGps() const { return fetchGps_; }
    const nlohmann::json& config() const { return config_; }
    std::shared_ptr<FrameHandler> handler() const { return handler_; }
    bool failed() const { return failed_.load(); }

private:
    std::atomic<bool> stopped_{false};
    fw::Subscriber mapSubscriber_;
    fw::Subscriber frameSubscriber_;
    fw::Subscriber stopSubscriber_;
    std::shared_ptr<FrameHandler> handler_;
    bool handlerPending_ = true;
    std::mutex mutex_;
    zel::Chain* owner_;
    nlohmann::json config_;
    bool configOk_ = false;
    bool live_ = true;
    int32_t zoomLevel_ = -1;
    bool fetchGps_ = false;
    std::shared_ptr<fw::PureProjection> projection_;
    std::atomic<bool> failed_{false};
};
