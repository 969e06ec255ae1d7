#include "tarn/tarn_mapper_impl.h"

#include "zel_text/exit_with_error.h"
#include "dataset/image_dataset.h"
#include "fw/gimage.h"
#include "fw/log.h"
#include "fw/map.h"
#include "fw/map_frame.h"
#include "fw/map_fusion.h"
#include "fw/messenger.h"
#include "sfm/slam.h"
#include "tarn/home_folder.h"
#include "zel/event_names.h"
#include "zel/points_fusion_factory.h"
#include "zel/tileset.h"
#include "zel/wall_clock.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <utility>

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

using zel::JobState;

// The most progress shown before the job is done.
constexpr double kBeforeDone = 0.99;

// Whether the folder or one below it holds a regular file that is not empty.
bool folderHoldsFile(const std::string& folder) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code sizeError;
        if (it->is_regular_file(sizeError) && it->file_size(sizeError) > 0 && !sizeError) return true;
    }
    return false;
}

// Sets error to why and returns false.
bool refuse(std::string& error, std::string why) {
    error = std::move(why);
    return false;
}

std::string stringOr(const json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

MapperComponents MapperComponents::standard() { return {createSfmInstance, createPointsFusionInstance}; }

TarnMapperImpl::TarnMapperImpl(const std::string& jobText, MapperComponents components)
    : zel::Chain("Mapper", nullptr), components_(std::move(components)), logSink_(std::make_unique<LogSink>()) {
    fw::getLogSinks()->insert(logSink_.get());
    std::string error;
    if (!construct(jobText, error)) {
        fail(error);
        return;
    }
    setProgressRecord(zel::mappingStages());
    setState(JobState::Ready);
}

bool TarnMapperImpl::construct(const std::string& jobText, std::string& error) {
    json job;
    try {
        job = json::parse(jobText);
    } catch (const std::exception& e) {
        return refuse(error, std::string("Failed to parse task or config: ") + e.what());
    }
    if (!job.is_object() || !job.contains("home") || !job["home"].is_string())
        return refuse(error, "Invalid home folder of task.");
    const std::string home = job["home"].get<std::string>();
    std::error_code ignored;
    if (!fs::is_directory(fs::path(home), ignored)) return refuse(error, "Invalid home folder of task: " + home);

    // One job per home: the lock comes before anything in the home is touched,
    // so a refused job leaves the running job's log alone.
    homeLock_ = std::make_unique<tarn::HomeLock>();
    if (!homeLock_->lock(home, error)) return false;
    const json chain = job.contains("chain") ? job["chain"] : json();
    const tarn::JobFolders folders = tarn::jobFolders(chain);
    // A tiling location that is the home or lies among the runs set aside
    // would mix runs: refused before anything in the home is moved.
    if (!tarn::checkTilingLocations(home, folders.outputs, error)) return false;
    std::vector<fs::path> products = folders.outputs;
    products.insert(products.end(), folders.work.begin(), folders.work.end());
    tarn::SetAside setAside;
    std::string setAsideError;
    const bool setAsideDone = tarn::setAsidePreviousRun(home, products, setAside, setAsideError);

    const fs::path logPath = fs::path(home) / "log.txt";
    auto logFile = std::make_shared<std::ofstream>(logPath, std::ios::out | std::ios::trunc);
    if (!logFile->is_open()) return refuse(error, "Failed to open log file: " + logPath.string());
    logSink_->setStream(logFile);
    if (!setAside.moved.empty()) {
        std::string moved;
        for (const auto& name : setAside.moved) moved += (moved.empty() ? "" : ", ") + name;
        FW_LOG(Info) << "The previous run's products were set aside in " << setAside.folder.string() << ": " << moved;
    }
    if (!setAsideDone) return refuse(error, setAsideError);
    // The output folders are checked before any frame is read.
    for (const fs::path& folder : folders.outputs)
        if (!tarn::checkOutputFolder(folder, error)) return false;

    if (!job.contains("dataset") || !job["dataset"].is_object()) return refuse(error, "Invalid dataset of task.");
    try {
        dataset_ = createImageDataset(job["dataset"]);
    } catch (const std::exception& e) {
        // A malformed file or description is reported like an unknown form.
        FW_LOG(Warning) << "Dataset refused: " << e.what();
        dataset_.reset();
    }
    if (!dataset_) return refuse(error, "Failed to create dataset.");
    if (!dataset_->isOpen() && dataset_->frameCount() < 6)
        return refuse(error, "Insufficient frames for mapping: " + std::to_string(dataset_->frameCount()));

    if (!job.contains("chain") || !job["chain"].is_array()) return refuse(error, "Invalid chain of task.");
    chain_ = job["chain"];
    return true;
}

TarnMapperImpl::~TarnMapperImpl() {
    if (runThread_.joinable()) runThread_.join();
    FW_LOG(Info) << "TarnMapperImpl instance destroyed.";
    // The dataset's loaders end before the sink does.
    dataset_.reset();
    fw::getLogSinks()->erase(logSink_.get());
    logSink_.reset();
    // Components left by a failed chain build may still report while they end.
    releaseComponents();
    detach();
}

std::shared_ptr<fw::SLAM> TarnMapperImpl::frontEnd() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frontEnd_;
}

std::shared_ptr<fw::MapFusion> TarnMapperImpl::backEnd() {
    std::lock_guard<std::mutex> lock(mutex_);
    return backEnd_;
}

class TarnMapperImpl::BackEndCall {
public:
    explicit BackEndCall(TarnMapperImpl& job) : job_(job) {
        std::lock_guard<std::mutex> lock(job_.mutex_);
        back_ = job_.backEnd_;
        if (back_) ++job_.handling_;
    }
    ~BackEndCall() {
        if (!back_) return;
        std::lock_guard<std::mutex> lock(job_.mutex_);
        // The releasing thread destroys the back end, not this one.
        back_.reset();
        if (--job_.handling_ == 0) job_.handled_.notify_all();
    }
    BackEndCall(const BackEndCall&) = delete;
    BackEndCall& operator=(const BackEndCall&) = delete;
    fw::MapFusion* get() const { return back_.get(); }

private:
    TarnMapperImpl& job_;
    std::shared_ptr<fw::MapFusion> back_;
};

void TarnMapperImpl::releaseComponents() {
    // The front end goes first, while the back end still takes what its
    // teardown reports.
    std::shared_ptr<fw::SLAM> front;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        front.swap(frontEnd_);
    }
    front.reset();
    std::shared_ptr<fw::MapFusion> back;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        back.swap(backEnd_);
        // A handle call on one of the back end's own threads must not hold
        // the last reference: its destructor would join that thread.
        handled_.wait(lock, [this] { return handling_ == 0; });
    }
    // The back end's teardown writes its last outputs; update goes on meanwhile.
    back.reset();
}

void TarnMapperImpl::fail(const std::string& message) {
    FW_LOG(Error) << message;
    setState(JobState::Failed);
}

void TarnMapperImpl::setState(JobState state) {
    std::lock_guard<std::mutex> lock(mutex_);
    setNodeState(state);
}

void TarnMapperImpl::start() {
    // A second start would replace a running thread.
    if (started_.exchange(true)) return;
    if (state() == JobState::Failed) return;
    if (!buildChain(chain_)) return;
    runThread_ = std::thread(&TarnMapperImpl::run, this);
}

bool TarnMapperImpl::buildChain(const json& chain) {
    for (const json& item : chain) {
        if (!item.is_object()) {
            fail("Invalid chain item: " + zel::text::compactJson(item));
            return false;
        }
        const std::string name = stringOr(item, "name");
        const std::string type = stringOr(item, "type");
        json config = item.contains("config") ? item["config"] : json();
        if (type == "front_end") {
            // The front end reports per frame for a live stream, per map otherwise.
            if (config.is_object()) config["live"] = dynamic_cast<ImageDatasetLive*>(dataset_.get()) != nullptr;
            std::shared_ptr<fw::SLAM> made;
            if (name == "legacy_sfm" && components_.legacySfm)
                made = components_.legacySfm(zel::text::compactJson(config), this, &fw::Messenger::instance(), &fw::getLogSinks());
            {
                std::lock_guard<std::mutex> lock(mutex_);
                made.swap(frontEnd_);
            }
            made.reset();  // an earlier one, outside the lock
            if (!frontEnd()) {
                fail("Failed to create front end process: " + name);
                return false;
            }
        } else if (type == "back_end") {
            std::shared_ptr<fw::MapFusion> made;
            if (name == "legacy_pf" && components_.legacyPf)
                made = components_.legacyPf(zel::text::compactJson(config), this, &fw::Messenger::instance(), &fw::getLogSinks());
            {
                std::lock_guard<std::mutex> lock(mutex_);
                made.swap(backEnd_);
            }
            made.reset();
            if (!backEnd()) {
                fail("Failed to create back end process: " + name);
                return false;
            }
        } else {
            fail("Invalid chain type: " + type);
            return false;
        }
    }
    return true;
}

void TarnMapperImpl::run() {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point started = Clock::now();
    setState(JobState::Running);
    try {
        std::shared_ptr<fw::SLAM> front = frontEnd();
        const int count = dataset_->frameCount();
        if (front) front->setFrameCount(count);
        if (auto back = backEnd()) back->setFrameCount(count);
        const Clock::time_point tracking = Clock::now();
        int framesLoaded = 0;
        std::vector<uint64_t> tracked;
        if (!stopRequested_.load()) {
            for (;;) {
                std::shared_ptr<TarnMapperFrame> frame = dataset_->nextFrame();
                if (!frame) break;
                if (frame->getImage(0, 0).empty()) {
                    // A refused image is read by no later stage: the frame
                    // is no one's stereo partner.
                    FW_LOG(Warning) << "Frame " << frame->id << " left out of the maps: "
                                    << (frame->imageRefusal().empty() ? std::string("it has no image")
                                                                      : frame->imageRefusal());
                } else {
                    ++framesLoaded;
                    tracked.push_back(frame->id);
                    if (front) front->trackFrame(frame);
                    frame->setImage(fw::GImage(), 0, 0);
                }
                frame.reset();
                if (stopRequested_.load()) break;
            }
        }
        const double trackMs = static_cast<double>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - tracking).count());
        FW_LOG(Info) << "Track time cost = " << trackMs;
        if (front) front->finish();
        front.reset();  // the front end goes first
        // A back end that refused frames because it could not build its chain made nothing.
        bool backEndFailed = false;
        if (auto back = backEnd()) back->call("PointsFusion_Failed", &backEndFailed);
        releaseComponents();
        FW_LOG(Info) << "both frontend and backend is reset.";
        if (!stopRequested_.load()) {
            std::lock_guard<std::mutex> lock(locatedMutex_);
            for (uint64_t id : tracked)
                if (locatedIds_.count(id) == 0)
                    FW_LOG(Warning) << "Frame " << id << " left out of the maps: the front end did not locate it";
        }
        // Only tilesets that are whole on disk are finished.
        const std::vector<std::string> broken = brokenOutputs();
        finishOutputs([&broken](const zel::OutputItem& item) {
            return std::find(broken.begin(), broken.end(), item.name) == broken.end();
        });
        if (backEndFailed) {
            setState(JobState::Failed);
        } else if (stopRequested_.load()) {
            setState(JobState::Stopped);
        } else if (framesLoaded == 0 || noLocatedFrame()) {
            // Nothing was made: no frame could be loaded, or none was located.
            fail("No frame could be loaded or located.");
        } else if (!verdictOnOutputs(broken)) {
            setState(JobState::Failed);
        } else {
            setProgress(1.0, 1.0);  // the last tiles are written
            setState(JobState::Done);
        }
    } catch (const std::exception& e) {
        FW_LOG(Error) << "Mapping failed: " << e.what();
        releaseComponents();
        setState(JobState::Failed);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    FW_LOG(Info) << "Task processed in " << seconds << " seconds.";
    logSink_->setStream(nullptr);
}

std::vector<std::string> TarnMapperImpl::brokenOutputs() {
    std::vector<std::string> broken;
    for (const auto& item : outputs()) {
        // An item never produced is broken only when files of it were lost.
        if (item->state != zel::ItemState::Updating && item->filesLost == 0) continue;
        std::string why;
        if (item->filesLost > 0) {
            why = std::to_string(item->filesLost) + " files could not be written";
        } else if (auto* tiles = dynamic_cast<zel::Tileset*>(item.get())) {
            if (tiles->storageType == 1 && !folderHoldsFile(tiles->location))
                why = "no tile on disk in " + tiles->location;
        } else if (auto* cloud = dynamic_cast<zel::Tileset3D*>(item.get())) {
            std::error_code ec;
            if (!fs::is_regular_file(cloud->path, ec) || fs::file_size(cloud->path, ec) == 0)
                why = "no " + cloud->path;
        }
        if (why.empty()) continue;
        FW_LOG(Error) << item->name << " was not written whole: " << why << ".";
        broken.push_back(item->name);
    }
    return broken;
}

bool TarnMapperImpl::noLocatedFrame() {
    std::lock_guard<std::mutex> lock(locatedMutex_);
    return locatedIds_.empty();
}

void TarnMapperImpl::noteLocated(const std::vector<std::shared_ptr<fw::MapFrame>>& frames) {
    std::lock_guard<std::mutex> lock(locatedMutex_);
    for (const auto& frame : frames)
        if (frame) locatedIds_.insert(frame->id);
}

bool TarnMapperImpl::verdictOnOutputs(const std::vector<std::string>& broken) {
    size_t whole = 0;
    for (const auto& item : outputs())
        if (item->state == zel::ItemState::Finished) ++whole;
    if (whole == 0) {
        fail(broken.empty() ? "No map could be made: no frame gave depth."
                            : "No map could be made: no tileset was written whole.");
        return false;
    }
    if (!broken.empty()) {
        std::string names;
        for (const auto& name : broken) names += (names.empty() ? "" : ", ") + name;
        fail("Maps not written whole: " + names + ".");
        return false;
    }
    return true;
}

void TarnMapperImpl::stop() {
    stopRequested_.store(true);
    zel::Chain::stop();
}

void TarnMapperImpl::handle(const std::string& name, std::shared_ptr<fw::GObject> data) {
    if (name == zel::events::kFrameLocated) {
        auto frame = std::dynamic_pointer_cast<fw::MapFrame>(data);
        if (!frame) return;
        // Noted on arrival: the run's verdict comes after both components
        // are released, so every report made until then is seen.
        noteLocated({frame});
        const BackEndCall call(*this);
        fw::MapFusion* back = call.get();
        if (!back) {
            frame->setImage(fw::GImage(), 0, 0);
            return;
        }
        try {
            back->feedFrame(frame);
        } catch (const std::exception& e) {
            FW_LOG(Error) << "Failed to feed frame to backend: " << e.what();
        }
    } else if (name == zel::events::kMapLocated) {
        auto map = std::dynamic_pointer_cast<fw::Map>(data);
        if (!map) return;
        std::vector<std::shared_ptr<fw::MapFrame>> frames;
        map->getFrames(frames);
        noteLocated(frames);
        const BackEndCall call(*this);
        fw::MapFusion* back = call.get();
        if (!back) {
            // Nobody takes the map: its frames' pixels go now.
            for (const auto& frame : frames)
                if (frame) frame->setImage(fw::GImage(), 0, 0);
            return;
        }
        try {
            back->feedMap(map);
        } catch (const std::exception& e) {
            FW_LOG(Error) << "Failed to feed map to backend: " << e.what();
        }
    } else {
        FW_LOG(Error) << "Unknown command: " << name;
    }
}

bool TarnMapperImpl::update(MapperStatus& status) {
    bool changed = false;
    const JobState current = state();
    if (current != status.state) {
        status.state = current;
        changed = true;
    }
    ProgressNode record = progress();
    // The whole is reached only when the job is done: until then the stages
    // may have counted every frame while the last tiles are still written.
    if (current != JobState::Done && record.value > kBeforeDone) record.value = kBeforeDone;
    // A record copied held back just before the job was done is copied again whole.
    const bool heldBack = current == JobState::Done && record.value > status.progress.value;
    if (record.time > status.progress.time || heldBack) {
        status.progress = std::move(record);
        changed = true;
    }
    for (const auto& item : outputs()) changed = zel::mergeItem(status.outputs, item) || changed;
    return changed;
}

bool TarnMapperImpl::feedFrame(const std::string& text, std::string& refusal) {
    auto* live = dynamic_cast<ImageDatasetLive*>(dataset_.get());
    if (!live) return false;
    return live->pushFrame(text, refusal);
}

std::shared_ptr<TarnMapper> createTarnMapper(const std::string& jobText, MapperComponents components) {
    return std::make_shared<TarnMapperImpl>(jobText, std::move(components));
}

std::shared_ptr<TarnMapper> createTarnMapper(const std::string& jobText) {
    return createTarnMapper(jobText, MapperComponents::standard());
}
