#pragma once
// The first stage of the dense pipeline: every located frame becomes an
// ImageScaled record; each pair of consecutive frames is one pool task that
// computes the depth map of the older frame with the newer one as its stereo
// partner. The task's future is published on "sbt.dense_frame"
// (std::shared_future<std::shared_ptr<ImageScaled>>, empty pointer when the
// pair failed) at once, on the thread that adds the frame.
//
// Threads: AddFrame is called by one feeding thread at a time; pair tasks run
// on the stage's pool ("pointsfusion.dense_thread_num" workers, default 4),
// their disparity computations one at a time (the matcher mutex). The pool is
// joined first when the stage is destroyed.

#include "fw/map_frame.h"
#include "fw/thread_pool.h"
#include "stereo_dense/disparity_calculator.h"
#include "stereo_dense/gpu_devices.h"
#include "stereo_dense/image_scaled.h"
#include "stereo_dense/sgm_gpu.h"

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class DenseDepth {
public:
    // Chooses the engine by "pointsfusion.dense_method" over the CUDA runtime
    // of this build; never fails for want of a GPU.
    explicit DenseDepth(float scale);
    // The same choice over the given devices, kernel architectures and matcher.
    DenseDepth(float scale, std::shared_ptr<GpuDevices> devices, const std::vector<int>& kernelArchs,
               const GpuMatcher& matcher);
    // A given engine, without a choice.
    DenseDepth(float scale, std::shared_ptr<DisparityCalculator> engine);
    // Joins the pool, then warns about the frame left waiting for a partner,
    // which gets no depth map.
    ~DenseDepth();
    DenseDepth(const DenseDepth&) = delete;
    DenseDepth& operator=(const DenseDepth&) = delete;

    // Loads the frame's image on the calling thread, pairs the frame with the
    // previous one and queues the pair. Blocks in 100 ms steps while more than
    // 8 tasks wait. An empty pointer is ignored.
    void AddFrame(const std::shared_ptr<fw::MapFrame>& frame);

    // Pool task: the record when its depth was computed with one of the
    // partners; otherwise empty, with the WARNING "Frame N left out of the
    // maps: <why>" of the last partner tried.
    std::shared_ptr<ImageScaled> processFrame(std::shared_ptr<ImageScaled> record,
                                              std::vector<std::shared_ptr<ImageScaled>> partners);

    // Rectifies own and partner from their poses, matches them and stores
    // own's depth map, rectified camera, image and pose. True when at least a
    // fifth of the pixels got a depth; otherwise why says what failed (the
    // accepted fraction, a missing image, no overlap, ...). Errors of OpenCV
    // and of the engine throw.
    bool computePairDepth(const std::shared_ptr<ImageScaled>& own, const std::shared_ptr<ImageScaled>& partner,
                          std::string& why);
    bool computePairDepth(const std::shared_ptr<ImageScaled>& own, const std::shared_ptr<ImageScaled>& partner);

    // A copy of a dense-back-end frame with its image, keypoints and
    // observations (the incoming frame's pixels are released); any other
    // frame comes back unchanged with an INFO line.
    static std::shared_ptr<fw::MapFrame> cloneFrame(const std::shared_ptr<fw::MapFrame>& frame);

    // Factor from the full to the processing size: 1 / scale, raised so that
    // the width stays at least 960, at most 1.
    static double processingFactor(float scale, int width);

    std::shared_ptr<DisparityCalculator> engine() const { return engine_; }
    float scale() const { return scale_; }

    // Times AddFrame in the calling thread's fw::Timer; off by default.
    static std::atomic<bool> timingEnabled;

private:
    void startPool();
    std::shared_ptr<ImageScaled> addScaledFrame(const std::shared_ptr<fw::MapFrame>& frame);

    std::mutex windowMutex_;
    std::mutex matcherMutex_;
    std::shared_ptr<DisparityCalculator> engine_;
    std::list<std::shared_ptr<ImageScaled>> frameWindow_;
    std::shared_ptr<fw::detail::ThreadPool> pool_;
    float scale_;
    bool paired_ = false;  // a pair was queued; under the window mutex
};
