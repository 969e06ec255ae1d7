#pragma once
// Image datasets: a JSON file of frame records whose images are loaded ahead
// of the consumer, or a live stream of records pushed while the job runs.

#include "dataset/tarn_mapper_frame.h"
#include "fw/camera.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/lockfree/queue.hpp>
#include <nlohmann/json.hpp>

class ImageDataset {
public:
    // Reads the file's array of frame records; a file that cannot be opened
    // gives an empty dataset, malformed JSON throws the parser's error.
    explicit ImageDataset(const std::string& path);
    // Stops the dispatcher and joins every loader.
    virtual ~ImageDataset();
    ImageDataset(const ImageDataset&) = delete;
    ImageDataset& operator=(const ImageDataset&) = delete;

    // A file dataset takes no frames: false, refusal untouched.
    virtual bool pushFrame(std::string text, std::string* refusal = nullptr);
    // Whether frames may still arrive (false for a file dataset).
    virtual bool isOpen();
    // The next frame with its image loaded (or failed to load); empty at the end.
    virtual std::shared_ptr<TarnMapperFrame> nextFrame();
    virtual int frameCount();

    std::vector<std::shared_ptr<TarnMapperFrame>> frames() const;

    static constexpr int32_t kPrefetchCount = 8;

protected:
    ImageDataset();

    mutable std::mutex mutex_;  // guards frames_ and cursor_
    std::vector<std::shared_ptr<TarnMapperFrame>> frames_;
    int32_t cursor_ = 0;

private:
    friend std::shared_ptr<TarnMapperFrame> parseFrameRecord(ImageDataset&, const nlohmann::json&, std::string*);

    void dispatchLoads();
    void startLoader(const std::shared_ptr<TarnMapperFrame>& frame);
    void reapLoaders(bool all);

    struct Loader {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    std::thread dispatcher_;
    boost::lockfree::queue<int32_t> loadQueue_{64};
    std::atomic<bool> running_{false};
    std::vector<Loader> loaders_;  // touched by the dispatcher, then by the destructor
};

class ImageDatasetLive : public ImageDataset {
public:
    explicit ImageDatasetLive(int32_t frameCnt);
    ~ImageDatasetLive() override;

    // An empty text ends the stream; otherwise the record is parsed (a
    // malformed text throws) and whether a frame was appended is returned;
    // for a refused record, refusal holds the parser's reason.
    bool pushFrame(std::string text, std::string* refusal = nullptr) override;
    bool isOpen() override;
    // Waits for the next pushed frame and loads its image on this thread.
    std::shared_ptr<TarnMapperFrame> nextFrame() override;
    int frameCount() override;

private:
    bool ended_ = false;  // under mutex_
    const int32_t frameCnt_;
};

// A dataset from its description ("live", "form", "uri", "frame_cnt"); empty
// for an unknown form. A missing or non-string "form" or "uri" throws.
std::shared_ptr<ImageDataset> createImageDataset(const nlohmann::json& description);

// Reads, labels and decodes one frame's image and fits its camera to the
// image's size; the frame is then marked loaded (or failed when unreadable).
void loadFrameImage(std::shared_ptr<TarnMapperFrame> frame);

// The calibration cut, centred, to the image's aspect ratio, then scaled to
// the image of w x h pixels; the distortion stays.
fw::Intrinsics fitCameraToImage(fw::Intrinsics calibration, int w, int h);
