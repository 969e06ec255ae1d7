#pragma once
// Image datasets: a JSON file of frame records whose images are loaded ahead
// of the consumer, or a live stream of records pushed while the job runs.

#include "dataset/tarn_mapper_frame.h"
#include "fw/camera.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/lockfree/queue.hpp>
#include <nlohmann/json.hpp>

// The bytes of decoded pixels that the loaders of a file dataset may hold
// for frames not yet handed out. A loader waits for room before it decodes;
// the frame the consumer waits for decodes at once.
class PrefetchBudget {
public:
    explicit PrefetchBudget(int64_t bound);
    // Waits until the bytes fit, the frame is awaited or the budget is
    // closed; false when closed.
    bool reserve(int32_t index, int64_t bytes);
    // The consumer waits for this frame (and has had those before it).
    void awaiting(int32_t index);
    // The frame was handed out: its bytes are free again.
    void release(int32_t index);
    // Every wait ends, every later reserve fails.
    void close();
    int64_t reserved() const;

private:
    const int64_t bound_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int64_t reserved_ = 0;
    int32_t awaited_ = -1;
    bool closed_ = false;
    std::map<int32_t, int64_t> held_;
};

class ImageDataset {
public:
    // Reads the file's array of frame records; a file that cannot be opened
    // gives an empty dataset, malformed JSON throws the parser's error.
    explicit ImageDataset(const std::string& path);
    // Stops the dispatcher and joins every loader.
    virtual ~ImageDataset();
    ImageDataset(const ImageDataset&) = delete;
    ImageDataset& operator=(const ImageDataset&) = delete;

    // Hands a frame record text to the dataset; a file dataset takes no
    // frames: false.
    bool pushFrame(std::string text);
    // The same; a refused record's reason in refusal (a file dataset leaves
    // it untouched).
    virtual bool pushFrame(std::string text, std::string& refusal);
    // Whether frames may still arrive (false for a file dataset).
    virtual bool isOpen();
    // The next frame with its image loaded (or failed to load); empty at the end.
    virtual std::shared_ptr<TarnMapperFrame> nextFrame();
    virtual int frameCount();

    std::vector<std::shared_ptr<TarnMapperFrame>> frames() const;

    static constexpr int32_t kPrefetchCount = 8;
    // The bound of the decoded pixels loaded ahead of the consumer.
    static constexpr int64_t kPrefetchBytes = int64_t{1} << 30;

protected:
    ImageDataset();

    mutable std::mutex mutex_;  // guards frames_ and cursor_
    std::vector<std::shared_ptr<TarnMapperFrame>> frames_;
    int32_t cursor_ = 0;

private:
    friend std::shared_ptr<TarnMapperFrame> parseFrameRecord(ImageDataset&, const nlohmann::json&, std::string&);

    void dispatchLoads();
    void startLoader(const std::shared_ptr<TarnMapperFrame>& frame, int32_t index);
    void reapLoaders(bool all);

    struct Loader {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    std::thread dispatcher_;
    boost::lockfree::queue<int32_t> loadQueue_{64};
    std::atomic<bool> running_{false};
    std::vector<Loader> loaders_;  // touched by the dispatcher, then by the destructor
    std::shared_ptr<PrefetchBudget> budget_ = std::make_shared<PrefetchBudget>(kPrefetchBytes);
};

class ImageDatasetLive : public ImageDataset {
public:
    explicit ImageDatasetLive(int32_t frameCnt);
    ~ImageDatasetLive() override;

    // An empty text ends the stream; otherwise the record is parsed (a
    // malformed text throws) and whether a frame was appended is returned;
    // for a refused record, refusal holds the parser's reason.
    using ImageDataset::pushFrame;
    bool pushFrame(std::string text, std::string& refusal) override;
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

// Reads, labels and decodes one frame's image (refused above
// kMaxImagePixels, or a JPEG cut short: logged, no pixels) and fits its camera to the
// image's size; the frame is then marked loaded (or failed when unreadable).
void loadFrameImage(std::shared_ptr<TarnMapperFrame> frame);
// The same, asking reserve for the decoded size before decoding; a frame
// whose reserve is refused is marked failed without pixels.
void loadFrameImage(std::shared_ptr<TarnMapperFrame> frame, const std::function<bool(int64_t)>& reserve);

// The calibration cut, centred, to the image's aspect ratio, then scaled to
// the image of w x h pixels; the distortion stays.
fw::Intrinsics fitCameraToImage(fw::Intrinsics calibration, int w, int h);
