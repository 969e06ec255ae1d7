#include "stereo_dense/dense_depth.h"

#include "fw/dense_map_frame.h"
#include "fw/log.h"
#include "fw/messenger.h"
#include "fw/settings.h"
#include "fw/timer.h"
#include "stereo_dense/engine_choice.h"
#include "stereo_dense/sgm_cpu.h"

#include <chrono>
#include <future>
#include <thread>

std::atomic<bool> DenseDepth::timingEnabled{false};

DenseDepth::DenseDepth(float scale)
    : DenseDepth(scale, GpuDevices::system(), builtKernelArchs(), defaultGpuMatcher()) {}

DenseDepth::DenseDepth(float scale, std::shared_ptr<GpuDevices> devices, const std::vector<int>& kernelArchs,
                       const GpuMatcher& matcher)
    : scale_(scale) {
    fw::Settings& settings = fw::Settings::instance();
    settings.GetInt("pointsfusion.dense_thread_num", 4);
    const int method = settings.GetInt("pointsfusion.dense_method", 3);
    engine_ = chooseDisparityEngine(method, devices, kernelArchs, matcher);
    startPool();
}

DenseDepth::DenseDepth(float scale, std::shared_ptr<DisparityCalculator> engine)
    : engine_(engine ? std::move(engine) : std::make_shared<SGM_CPU>()), scale_(scale) {
    startPool();
}

void DenseDepth::startPool() {
    // Zero workers would leave every future waiting for ever.
    const int workers = fw::Settings::instance().GetInt("pointsfusion.dense_thread_num", 4);
    pool_ = std::make_shared<fw::detail::ThreadPool>(workers < 1 ? 1 : workers);
}

DenseDepth::~DenseDepth() {
    pool_.reset();  // runs the queued pairs and joins the workers
    // The newest frame only ever served as the partner of the one before it.
    try {
        for (const auto& record : frameWindow_) {
            if (!record || !record->frame) continue;
            if (paired_)
                FW_LOG(Warning) << "Frame " << record->frame->id
                                << " left out of the maps: the last frame is only the stereo partner of the frame "
                                   "before it";
            else
                FW_LOG(Warning) << "Frame " << record->frame->id
                                << " left out of the maps: no other frame to pair it with";
        }
    } catch (...) {
        // Nothing may leave a destructor, and a warning that the log could not
        // take has nowhere else to go.
    }
}

void DenseDepth::AddFrame(const std::shared_ptr<fw::MapFrame>& incoming) {
    if (!incoming) return;
    std::unique_ptr<fw::TimerScope> timing;
    if (timingEnabled.load()) timing = std::make_unique<fw::TimerScope>("DenseDepth::AddFrame");

    std::shared_ptr<fw::MapFrame> frame = incoming;
    if (fw::Settings::instance().GetInt("pointsfusion.clone_frame", 0) != 0) frame = cloneFrame(frame);

    while (pool_->pendingCount() > 8) std::this_thread::sleep_for(std::chrono::milliseconds(100));

    addScaledFrame(frame);

    std::shared_ptr<ImageScaled> first, last;
    {
        std::lock_guard<std::mutex> lock(windowMutex_);
        if (frameWindow_.size() < 2) return;
        first = frameWindow_.front();
        last = frameWindow_.back();
    }
    std::shared_future<std::shared_ptr<ImageScaled>> result =
        pool_->Add([this](std::shared_ptr<ImageScaled> record, std::vector<std::shared_ptr<ImageScaled>> partners) {
                 return processFrame(std::move(record), std::move(partners));
             },
                   first, std::vector<std::shared_ptr<ImageScaled>>{last})
            .share();
    fw::Messenger::instance().publish("sbt.dense_frame", result);
    std::lock_guard<std::mutex> lock(windowMutex_);
    frameWindow_.pop_front();
    paired_ = true;
}

std::shared_ptr<ImageScaled> DenseDepth::addScaledFrame(const std::shared_ptr<fw::MapFrame>& frame) {
    auto record = std::make_shared<ImageScaled>();
    record->frame = frame;
    record->loadImage();
    std::lock_guard<std::mutex> lock(windowMutex_);
    frameWindow_.push_back(record);
    return record;
}

std::shared_ptr<ImageScaled> DenseDepth::processFrame(std::shared_ptr<ImageScaled> record,
                                                      std::vector<std::shared_ptr<ImageScaled>> partners) {
    const auto start = std::chrono::steady_clock::now();
    bool done = false;
    std::string why = "it has no stereo partner";
    for (const auto& partner : partners) {
        try {
            done = computePairDepth(record, partner, why);
        } catch (const std::exception& error) {
            FW_LOG(Error) << error.what();
            why = std::string("the pair depth failed: ") + error.what();
            done = false;
        } catch (...) {
            FW_LOG(Error) << "unknown error in the pair depth";
            why = "the pair depth failed";
            done = false;
        }
        if (done) break;
    }
    if (!done && record && record->frame) FW_LOG(Warning) << "Frame " << record->frame->id << " left out of the maps: " << why;
    const int method = fw::Settings::instance().GetInt("pointsfusion.dense_method", 3);
    const double seconds =
        double(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count()) /
        1e9;
    FW_LOG(Info) << "Frame (" << (record && record->frame ? record->frame->id : 0) << "):: Node:PF,  device:" << method
                 << ", time:" << seconds << "s";
    return done ? record : nullptr;
}

std::shared_ptr<fw::MapFrame> DenseDepth::cloneFrame(const std::shared_ptr<fw::MapFrame>& frame) {
    auto* own = dynamic_cast<::MapFrame*>(frame.get());
    if (!own) {
        FW_LOG(Info) << "Not correct mapframe.";
        return frame;
    }
    std::string path;
    own->call("GetImagePath", &path);
    std::vector<double> gps;
    own->call("GetGPS", &gps);
    auto copy = std::make_shared<::MapFrame>(own->id, own->timestamp, own->getImage(0, 0), path, own->getCamera(0),
                                             gps, 1);
    fw::SIM3 pose;
    {
        std::lock_guard<std::mutex> lock(own->mutex);
        pose = own->pose;
        // The sparse points give the copy its depth range.
        copy->keyPoints = own->keyPoints;
        copy->observations = own->observations;
    }
    copy->setPose(pose);
    own->setImage(fw::GImage(), 0, 0);
    return copy;
}

double DenseDepth::processingFactor(float scale, int width) {
    if (width <= 0) return 1.0;
    double k = 1.0 / double(scale);
    if (!(k > 0.0)) k = 1.0;
    if (double(width) * k < 960.0) k = 960.0 / double(width);
    if (!(k < 1.0)) k = 1.0;
    return k;
}
