#pragma once
// The mapping job: opens the dataset, builds the chain (front end, back end),
// feeds every frame to the front end on its run thread and forwards what the
// front end locates to the back end.

#include "fw/file_log_sink.h"
#include "tarn/tarn_mapper.h"
#include "zel/node.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace fw {
class SLAM;
class MapFusion;
class MapFrame;
}  // namespace fw
class ImageDataset;
namespace tarn {
class HomeLock;
}

// The factories the chain is built with; tests put their own components here.
struct MapperComponents {
    using FrontEndFactory = std::function<std::shared_ptr<fw::SLAM>(const std::string&, zel::Chain*, void*, void*)>;
    using BackEndFactory = std::function<std::shared_ptr<fw::MapFusion>(const std::string&, zel::Chain*, void*, void*)>;
    FrontEndFactory legacySfm;  // front end "legacy_sfm"
    BackEndFactory legacyPf;    // back end "legacy_pf"

    // createSfmInstance and createPointsFusionInstance.
    static MapperComponents standard();
};

// Threads: the main thread constructs, starts, updates, feeds and destroys
// the job; the run thread runs it; the front end and the back end call
// handle and stop from threads of their own. The front end and back end
// pointers are read and swapped under mutex_ and released outside it, the
// front end first, the back end once no handle call holds it: a component
// is never destroyed on a thread of its own (its destructor would join
// itself).
class TarnMapperImpl : public zel::Chain, public TarnMapper {
public:
    TarnMapperImpl(const std::string& jobText, MapperComponents components);
    ~TarnMapperImpl() override;

    void start() override;
    bool update(MapperStatus& status) override;
    using TarnMapper::feedFrame;
    bool feedFrame(const std::string& text, std::string& refusal) override;

    void stop() override;
    void handle(const std::string& name, std::shared_ptr<fw::GObject> data) override;

    bool buildChain(const nlohmann::json& chain);

private:
    // Steps of the construction; false, with the text of the first failure
    // in error, when one fails.
    bool construct(const std::string& jobText, std::string& error);
    void run();
    void setState(zel::JobState state);
    void fail(const std::string& message);
    std::shared_ptr<fw::SLAM> frontEnd();
    std::shared_ptr<fw::MapFusion> backEnd();
    // The back end for one handle call, counted in handling_ until the holder goes.
    class BackEndCall;
    // Takes both components out under the mutex and releases them outside it.
    void releaseComponents();
    // The names of the tilesets produced that are not whole on disk (files
    // their producer could not write, no file at all), each logged.
    std::vector<std::string> brokenOutputs();
    // Notes the ids of frames reported located, taken by the back end or not.
    void noteLocated(const std::vector<std::shared_ptr<fw::MapFrame>>& frames);
    bool noLocatedFrame();
    // Fails the job (logged) when no tileset is finished or one is broken.
    bool verdictOnOutputs(const std::vector<std::string>& broken);

    MapperComponents components_;
    std::mutex mutex_;  // guards the job state's writes, frontEnd_ and backEnd_
    std::shared_ptr<fw::SLAM> frontEnd_;
    std::shared_ptr<fw::MapFusion> backEnd_;
    int handling_ = 0;                 // handle calls holding the back end, under mutex_
    std::condition_variable handled_;  // handling_ fell to 0
    std::shared_ptr<ImageDataset> dataset_;
    std::thread runThread_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> started_{false};
    std::mutex locatedMutex_;
    std::set<uint64_t> locatedIds_;  // frames reported located, under locatedMutex_
    std::unique_ptr<LogSink> logSink_;
    nlohmann::json chain_;
    std::unique_ptr<tarn::HomeLock> homeLock_;  // held until the job is destroyed
};

std::shared_ptr<TarnMapper> createTarnMapper(const std::string& jobText, MapperComponents components);
