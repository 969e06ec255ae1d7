#include "dataset/image_dataset.h"

#include "zel_text/text_codec.h"
#include "dataset/frame_record.h"
#include "fw/image_decoding.h"
#include "fw/regular_file.h"
#include "fw/camera.h"
#include "fw/log.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <system_error>

namespace {

using nlohmann::json;

void sleep100ms() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

int32_t toInt32(double value) {
    if (std::isnan(value)) return -1;
    if (value >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    if (value <= static_cast<double>(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

// The member as a string; a missing one reads as null, so both give the
// library's "type must be string" error.
std::string stringMember(const json& object, const char* key) {
    static const json missing;
    auto it = object.find(key);
    return (it == object.end() ? missing : *it).get<std::string>();
}

}  // namespace

ImageDataset::ImageDataset() = default;

ImageDataset::ImageDataset(const std::string& path) {
    // Only a regular file is opened: a folder, a device or a FIFO counts as
    // a file that cannot be opened.
    std::string text;
    if (!readRegularFile(path, text)) {
        FW_LOG(Error) << "Failed to open " << path;
        return;
    }
    const json root = json::parse(text);
    if (root.is_null() || (root.is_object() && root.empty())) return;
    if (!root.is_array()) {
        (void)root[0];  // the library's type error for a numeric index
        return;
    }
    for (const json& record : root) parseFrameRecord(*this, record);
}

ImageDataset::~ImageDataset() {
    budget_->close();  // loaders waiting for room end without decoding
    running_.store(false);
    if (dispatcher_.joinable()) dispatcher_.join();
    reapLoaders(true);
}

bool ImageDataset::pushFrame(std::string text) {
    std::string refusal;
    return pushFrame(std::move(text), refusal);
}

bool ImageDataset::pushFrame(std::string, std::string&) { return false; }

bool ImageDataset::isOpen() { return false; }

int ImageDataset::frameCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(frames_.size());
}

std::vector<std::shared_ptr<TarnMapperFrame>> ImageDataset::frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

std::shared_ptr<TarnMapperFrame> ImageDataset::nextFrame() {
    int32_t count, cursor;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        count = static_cast<int32_t>(frames_.size());
        cursor = cursor_;
    }
    if (cursor >= count) return nullptr;
    if (!dispatcher_.joinable()) {
        running_.store(true);
        dispatcher_ = std::thread(&ImageDataset::dispatchLoads, this);
    }
    for (int32_t k = 0; k < kPrefetchCount && cursor + k < count; ++k) {
        std::shared_ptr<TarnMapperFrame> frame;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frame = frames_[static_cast<size_t>(cursor + k)];
        }
        int32_t expected = TarnMapperFrame::kNew;
        if (frame->loadState().compare_exchange_strong(expected, TarnMapperFrame::kQueued))
            while (!loadQueue_.push(cursor + k)) sleep100ms();
    }
    std::shared_ptr<TarnMapperFrame> frame;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        frame = frames_[static_cast<size_t>(cursor_)];
        ++cursor_;
    }
    // The frame waited for decodes whatever the others hold.
    budget_->awaiting(cursor);
    while (frame->loadState().load(std::memory_order_acquire) < TarnMapperFrame::kLoaded) sleep100ms();
    budget_->release(cursor);
    return frame;
}

void ImageDataset::dispatchLoads() {
    while (running_.load()) {
        reapLoaders(false);
        int32_t index;
        if (!loadQueue_.pop(index)) {
            sleep100ms();
            continue;
        }
        std::shared_ptr<TarnMapperFrame> frame;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (index >= 0 && static_cast<size_t>(index) < frames_.size()) frame = frames_[static_cast<size_t>(index)];
        }
        if (frame && frame->loadState().load() == TarnMapperFrame::kQueued) startLoader(frame, index);
    }
}

void ImageDataset::startLoader(const std::shared_ptr<TarnMapperFrame>& frame, int32_t index) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<PrefetchBudget> budget = budget_;
    auto reserve = [budget, index](int64_t bytes) { return budget->reserve(index, bytes); };
    try {
        loaders_.push_back({std::thread([frame, done, reserve] {
                                loadFrameImage(frame, reserve);
                                done->store(true);
                            }),
                            done});
    } catch (const std::system_error&) {
        // no thread to spare: load here rather than leave the frame waiting
        loadFrameImage(frame, reserve);
    }
}

void ImageDataset::reapLoaders(bool all) {
    for (auto it = loaders_.begin(); it != loaders_.end();) {
        if (all || it->done->load()) {
            if (it->thread.joinable()) it->thread.join();
            it = loaders_.erase(it);
        } else {
            ++it;
        }
    }
}

ImageDatasetLive::ImageDatasetLive(int32_t frameCnt) : frameCnt_(frameCnt) {}

ImageDatasetLive::~ImageDatasetLive() = default;

bool ImageDatasetLive::pushFrame(std::string text, std::string& refusal) {
    if (text.empty()) {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        return true;
    }
    json record;
    if (!parseFrameRecordText(text, record, refusal)) return false;
    return parseFrameRecord(*this, record, refusal) != nullptr;
}

bool ImageDatasetLive::isOpen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !ended_;
}

int ImageDatasetLive::frameCount() { return frameCnt_; }

std::shared_ptr<TarnMapperFrame> ImageDatasetLive::nextFrame() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (static_cast<size_t>(cursor_) >= frames_.size()) {
        if (ended_) return nullptr;
        lock.unlock();
        sleep100ms();
        lock.lock();
    }
    std::shared_ptr<TarnMapperFrame> frame = frames_[static_cast<size_t>(cursor_)];
    ++cursor_;
    loadFrameImage(frame);
    return frame;
}

std::shared_ptr<ImageDataset> createImageDataset(const json& description) {
    auto live = description.find("live");
    const bool isLive = live != description.end() && live->is_boolean() && live->get<bool>();
    const std::string form = stringMember(description, "form");
    if (isLive) {
        auto count = description.find("frame_cnt");
        const int32_t frameCnt = count != description.end() && count->is_number() ? toInt32(count->get<double>()) : -1;
        return std::make_shared<ImageDatasetLive>(frameCnt);
    }
    if (form != "zel_frame") return nullptr;
    return std::make_shared<ImageDataset>(stringMember(description, "uri"));
}

fw::Intrinsics fitCameraToImage(fw::Intrinsics k, int w, int h) {
    if (!k.hasPinhole || w <= 0 || h <= 0) return k;
    int64_t W = static_cast<int64_t>(k.width), H = static_cast<int64_t>(k.height);
    if (W <= 0 || H <= 0) return k;
    if (static_cast<int64_t>(h) * W > static_cast<int64_t>(w) * H) {
        const int64_t cut = (static_cast<int64_t>(w) * H) / h;
        k.cx -= static_cast<double>((W - cut) / 2);
        W = cut;
    } else {
        const int64_t cut = (static_cast<int64_t>(h) * W) / w;
        k.cy -= static_cast<double>((H - cut) / 2);
        H = cut;
    }
    if (W <= 0 || H <= 0) return k;
    const double sx = static_cast<double>(w) / static_cast<double>(W);
    const double sy = static_cast<double>(h) / static_cast<double>(H);
    k.width = w;
    k.height = h;
    k.fx *= sx;
    k.cx *= sx;
    k.fy *= sy;
    k.cy *= sy;
    return k;
}

namespace {

// Reads, labels and decodes the image; false when it could not be read
// (logged). A refused or undecodable image is logged and leaves the frame
// without pixels. reserve, when given, is asked for the decoded size first;
// when it says no, nothing is decoded. Throws what reading or decoding throws.
// Whatever leaves the frame without pixels is kept as its image refusal.
bool loadImageBytes(TarnMapperFrame& frame, const std::function<bool(int64_t)>& reserve) {
    const std::string& path = frame.imagePath();
    std::string bytes;
    if (!readRegularFile(path, bytes)) {
        frame.setImageRefusal("Failed to open " + path);
        FW_LOG(Error) << frame.imageRefusal();
        return false;
    }
    frame.loadState().store(TarnMapperFrame::kLoading);
    if (frame.label.empty()) frame.label = zel::text::md5Hex(bytes.data(), static_cast<int>(bytes.size()));

    if (reserve) {
        const ImageHeader header = readImageHeader(bytes);
        const int64_t need = header.known && header.pixels() <= kMaxImagePixels ? header.decodedBytes() : 0;
        if (!reserve(need)) {
            frame.setImageRefusal("Failed to load " + path + ": the dataset was closed");
            return false;
        }
    }
    std::string why;
    cv::Mat decoded = decodeImage(bytes, why);
    bytes = std::string();  // the file's bytes go before the pixels are used
    if (decoded.empty()) {
        frame.setImageRefusal(decodeFailure(path, why));
        FW_LOG(Error) << frame.imageRefusal();
        return true;
    }
    frame.setImageRefusal("");
    frame.setImage(fw::GImage(decoded), 0, 0);
    std::shared_ptr<fw::CameraImpl> camera = frame.getCamera(0);
    if (!camera || !camera->isValid()) return true;
    const fw::Intrinsics calibration = camera->intrinsics();
    if (calibration.hasPinhole && (decoded.cols != static_cast<int>(calibration.width) ||
                                   decoded.rows != static_cast<int>(calibration.height)))
        frame.setCamera(fw::CameraImpl::create(fitCameraToImage(calibration, decoded.cols, decoded.rows).parameters()));
    return true;
}

}  // namespace

void loadFrameImage(std::shared_ptr<TarnMapperFrame> frame) { loadFrameImage(std::move(frame), {}); }

void loadFrameImage(std::shared_ptr<TarnMapperFrame> frame, const std::function<bool(int64_t)>& reserve) {
    if (!frame) return;
    // Whatever fails here (out of memory, a decoder's exception), the frame
    // is handed out, without pixels, and the loader thread ends normally.
    bool loaded = false;
    try {
        loaded = loadImageBytes(*frame, reserve);
    } catch (const std::exception& e) {
        frame->setImage(fw::GImage(), 0, 0);
        frame->setImageRefusal("Failed to load " + frame->imagePath() + ": " + e.what());
        FW_LOG(Error) << frame->imageRefusal();
    } catch (...) {
        frame->setImage(fw::GImage(), 0, 0);
        frame->setImageRefusal("Failed to load " + frame->imagePath());
        FW_LOG(Error) << frame->imageRefusal();
    }
    frame->loadState().store(loaded ? TarnMapperFrame::kLoaded : TarnMapperFrame::kLoadFailed,
                             std::memory_order_release);
}

PrefetchBudget::PrefetchBudget(int64_t bound) : bound_(bound) {}

bool PrefetchBudget::reserve(int32_t index, int64_t bytes) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || index <= awaited_ || reserved_ == 0 || reserved_ + bytes <= bound_; });
    if (closed_) return false;
    reserved_ += bytes;
    held_[index] += bytes;
    return true;
}

void PrefetchBudget::awaiting(int32_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    awaited_ = std::max(awaited_, index);
    changed_.notify_all();
}

void PrefetchBudget::release(int32_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = held_.find(index);
    if (it == held_.end()) return;
    reserved_ -= it->second;
    held_.erase(it);
    changed_.notify_all();
}

void PrefetchBudget::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

int64_t PrefetchBudget::reserved() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reserved_;
}
