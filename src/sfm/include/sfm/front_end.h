#pragma once
// The front end: locates frames from their images, with the recorded GPS
// position and gimbal attitude as priors. SIFT keypoints of each frame are
// matched with its recent neighbours in flight order (and, for a file
// dataset, with the frames of other strips whose footprints overlap),
// verified by the essential matrix, joined into tracks and bundle adjusted
// in a local east-north-up frame. Frames handed on carry the adjusted pose
// (earth-centred), the refined camera and the adjusted points.

#include "sfm/block_adjuster.h"
#include "sfm/feature_matcher.h"
#include "sfm/feature_tracks.h"
#include "sfm/image_features.h"
#include "sfm/slam.h"
#include "sfm/tangent_frame.h"
#include "pt/point.h"
#include "zel/node.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fw {
class CameraImpl;
class MapFrame;
}  // namespace fw

namespace sfm {

struct FrontEndSettings {
    bool live = false;
    // "globalsfm.intrinsic_refinement": ADJUST_ALL refines focal length,
    // principal point and the first two radial terms; NONE keeps them.
    bool refineIntrinsics = false;
    int neighbours = 3;   // earlier frames in flight order each frame is matched with
    int window = 8;       // live: frames kept for matching and adjustment
    // Live: at the start of a flight frames are held until the GPS seen so
    // far tells the scale to 1 / 300, at most this many.
    int maxHeld = 60;
    int crossStripPartners = 3;  // file dataset: most partners per frame in other strips
    int threads = 4;      // of the adjustment
    FeatureSettings features;
    MatchSettings matching;
    AdjustSettings adjustment;

    // From the front end's configuration object.
    static FrontEndSettings fromConfig(const std::string& config, bool* ok);
};

class FrontEnd : public fw::SLAM, public zel::Node {
public:
    // live: "frame_located" per frame in flight order, once the next one is
    // tracked and the GPS seen so far tells the scale (the first frames of
    // a flight are held until then, or until maxHeld of them wait, and all
    // are handed on by finish); otherwise one "map_located" with every
    // frame at finish.
    FrontEnd(const FrontEndSettings& settings, zel::Chain* owner);
    ~FrontEnd() override;

    void setFrameCount(int32_t count) override;
    bool trackFrame(const std::shared_ptr<fw::MapFrame>& frame) override;
    void finish() override;

private:
    struct Frame;

    std::unique_ptr<Frame> locate(const std::shared_ptr<fw::MapFrame>& frame);
    int cameraFor(const std::shared_ptr<fw::CameraImpl>& camera);
    // Verified matches with an earlier frame join the tracks; true when enough were found.
    bool matchWith(Frame& frame, Frame& earlier);
    // The verified matches of two frames, touching nothing else (safe side by side).
    bool pairOf(const Frame& frame, const Frame& earlier, PairMatch& match) const;
    // A pair's matches join the tracks.
    void joinPair(Frame& frame, Frame& earlier, const PairMatch& match);
    // Whole: every frame free, GPS priors as recorded (a file dataset; a
    // live flight's held frames). Window: live, the settled frames stay as
    // they are and hold the window's frame.
    enum class Adjustment { Whole, Window };
    // Triangulates the block's new tracks, then (solve) adjusts it.
    void adjust(const std::vector<Frame*>& block, Adjustment kind, bool solve);
    // The relief that a camera's frames see: the median relative departure
    // of their points from a plane, in depth.
    double reliefOf(int camera) const;
    void initialRotations();
    // File dataset: recorded attitudes that the images contradict give way to them.
    void checkRecordedHeadings();
    void matchAcrossStrips();
    std::shared_ptr<fw::MapFrame> handOn(Frame& frame);
    // Live: a frame whose next one was tracked keeps its pose in the window.
    void settle(Frame& frame);
    // Live: adjusts the held frames together and starts handing frames on.
    void release();
    // Live: "frame_located" for every settled frame not yet handed on, in order.
    void handOnSettled();
    void advanceProgress();
    // Live: the scale and offset that take the window's frame (held by the
    // settled frames) to the GPS, fitted to every frame settled so far.
    struct GpsFit {
        struct Sample {
            cv::Vec3d centre, gps, sigma;
        };
        std::vector<Sample> samples;
        // A sample without a position (a sigma of 0) is left out.
        void add(const cv::Vec3d& centre, const cv::Vec3d& gps, const cv::Vec3d& sigma);
        // Scale and offset: gps = scale * centre + offset, fitted under a
        // robust loss; 1 and 0 while too few frames tell.
        void solve(double& scale, cv::Vec3d& offset) const;
        // Of the centres, weighted: the scale's relative standard deviation is about 1 / sqrt of it.
        double spread() const;
    };
    // A frame without a usable GPS position (or one that its images
    // contradict) is placed from its pair with a located neighbour.
    void placeFromImages(Frame& frame);
    // File dataset: positions that the images contradict are dropped.
    void checkRecordedPositions();

    const FrontEndSettings settings_;
    zel::Chain* const owner_;
    int32_t frameCount_ = -1;
    int32_t tracked_ = 0;
    int nextIndex_ = 0;
    uint64_t nextPointId_ = 1;
    bool haveTangent_ = false;
    TangentFrame tangent_;
    pt::Point3d lastPosition_;  // of the latest frame located, degrees and metres
    std::map<int, std::unique_ptr<Frame>> frames_;  // by index in flight order
    std::vector<std::vector<double>> cameraRecords_;
    std::vector<BlockCamera> cameras_;
    FeatureTracks tracks_;
    std::map<std::pair<int, int>, PairMatch> pairs_;  // (earlier, later)
    GpsFit gpsFit_;
    GpsFit gpsSeen_;  // the GPS positions of every frame tracked, as centres
    bool released_ = false;
    double liveScale_ = 1.0;
    cv::Vec3d liveOffset_{0, 0, 0};
    // The last frame handed on: its centre in the window's frame and as handed on.
    bool haveLast_ = false;
    cv::Vec3d lastCentre_{0, 0, 0}, lastHandedOn_{0, 0, 0};
};

}  // namespace sfm
