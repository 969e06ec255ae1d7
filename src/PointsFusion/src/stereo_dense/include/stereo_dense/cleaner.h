#pragma once
// Multi-view consistency filter of the dense pipeline. Depth frames arrive on
// "sbt.dense_frame" (futures) or "sbt.dense_frame_test" (records) and wait in
// a window sorted by frame id; whenever the window holds
// "pointsfusion.clean_queuesize" frames, its oldest frame is checked against
// the others, published on "sbt.cleaned_frames" and dropped from the window.
//
// Threads: both inputs are handled on the cleaner's single worker, in arrival
// order; the window is touched only there and, once the worker has been
// joined, by the destroying thread. Subscribers of "sbt.cleaned_frames" run on
// the worker (and on the destroying thread during the final flush). The
// feeder of "sbt.dense_frame" waits while 5 or more steps are queued.

#include "fw/messenger.h"
#include "fw/thread_pool.h"
#include "stereo_dense/image_scaled.h"

#include <opencv2/core/mat.hpp>

#include <atomic>
#include <future>
#include <list>
#include <memory>
#include <vector>

class Cleaner {
public:
    // One view of a consistency check; the maps are shared with the record.
    struct View {
        cv::Mat depth;        // CV_32F, 0 = no depth
        cv::Mat count;        // CV_8U, written for view 0 only
        double K[9] = {};     // row-major camera matrix
        double R[9] = {};     // world to camera rotation, row-major
        double t[3] = {};     // world to camera translation
        float minDepth = 0.0f;
        float maxDepth = 0.0f;
    };

    Cleaner();
    // Ends the inputs, joins the worker, publishes every frame left in the
    // window that still has enough views (oldest first), then drops the rest,
    // each with a WARNING naming it.
    ~Cleaner();
    Cleaner(const Cleaner&) = delete;
    Cleaner& operator=(const Cleaner&) = delete;

    // Publisher's thread: queues the frame's step, then holds the caller while
    // 5 or more steps wait.
    void onDenseFrame(const std::shared_future<std::shared_ptr<ImageScaled>>& future);
    // Publisher's thread: runs the record's step on the worker and waits for it.
    void onDirectFrame(const std::shared_ptr<ImageScaled>& record);
    void onStopMessage(const bool& ignored);

    // The view of a record: its maps, K, the inverse of its pose and its depth range.
    static View viewOf(const ImageScaled& record);
    // Raises or clears the counts of view 0 by the agreement of the other views.
    static void checkConsistency(std::vector<View>& views, float sameDepthThreshold, int minViews);

    bool stopped() const { return stopped_.load(); }

private:
    void processNext(std::shared_future<std::shared_ptr<ImageScaled>> future);
    void append(const std::shared_ptr<ImageScaled>& record);
    // One step on the worker: false while the window is short or when stopped.
    bool processQueue();
    // Checks and publishes the window's first frame against the others.
    void checkAndPublish(const std::shared_ptr<ImageScaled>& reference, int minViews);
    // The views of the window with reference first; frames without depth are left out.
    std::vector<View> viewsFor(const std::shared_ptr<ImageScaled>& reference);

    std::list<std::shared_ptr<ImageScaled>> window_;
    std::atomic<bool> stopped_{false};
    std::shared_ptr<fw::detail::ThreadPool> pool_;
    fw::Subscriber denseSubscriber_;
    fw::Subscriber stopSubscriber_;
    fw::Subscriber directSubscriber_;
};
