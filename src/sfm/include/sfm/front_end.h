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
    int crossStripPartners = 3;  // most partners per frame in other strips (live: within the window)
    int threads = 4;      // of the adjustment
    FeatureSettings features;
    MatchSettings matching;
    AdjustSettings adjustment;

    // From the front end's configuration object; false, with settings at
    // their defaults, when the text is not a JSON object.
    static bool fromConfig(const std::string& config, FrontEndSettings& settings);
};

// The shared core of the front end: frames, cameras, tracks, matching and
// the adjustment. Its two drivers, BatchFrontEnd (a file dataset) and
// LiveFrontEnd (a live dataset), decide when frames are adjusted and handed
// on; createSfmInstance picks one by the configuration's "live".
class FrontEnd : public fw::SLAM, public zel::Node {
public:
    FrontEnd(const FrontEndSettings& settings, zel::Chain* owner);
    ~FrontEnd() override;

    void setFrameCount(int32_t count) override;

protected:
    struct Frame {
    int index = 0;
    uint64_t id = 0;
    double timestamp = 0.0;
    std::string path, label;
    std::vector<double> gps;
    ImageFeatures features;
    BlockFrame block;          // current estimate and priors, local frame
    bool hasGps = true;        // the record's position is a prior
    bool gimbal = false;       // the record's attitude is used
    bool rotationSet = false;  // from the gimbal or a matched neighbour
    bool matched = false;
    bool settled = false;  // live: its pose in the window stays
    bool published = false;
};

    // Locates the input, keeps it and matches it with its recent neighbours
    // in flight order (previous: the latest of them); null when it cannot be
    // located (the progress then advances).
    Frame* addFrame(const std::shared_ptr<fw::MapFrame>& input, Frame*& previous);
    std::unique_ptr<Frame> locate(const std::shared_ptr<fw::MapFrame>& frame);
    int cameraFor(const std::shared_ptr<fw::CameraImpl>& camera);
    // Verified matches with an earlier frame join the tracks; true when enough were found.
    bool matchWith(Frame& frame, Frame& earlier);
    // The verified matches of two frames, touching nothing else (safe side by side).
    bool pairOf(const Frame& frame, const Frame& earlier, PairMatch& match) const;
    // A pair's matches join the tracks.
    void joinPair(Frame& frame, Frame& earlier, const PairMatch& match);
    // The median depth of the triangulated tracks in the frame that first
    // saw each (the height over the ground); 0 without any.
    double medianTrackDepth();
    // The frames before frame's neighbours whose GPS lies within 0.7 of
    // footprint (metres of ground a frame sees) of its own, nearest first:
    // its partners on another strip.
    std::vector<std::pair<double, Frame*>> framesBeside(const Frame& frame, double footprint);
    // A frame without a usable GPS position (or one that its images
    // contradict) is placed from its pair with a located neighbour.
    void placeFromImages(Frame& frame);

    // Whole: every frame free, GPS priors as recorded (a file dataset; a
    // live flight's held frames). Window: live, the settled frames stay as
    // they are and hold the window's frame.
    enum class Adjustment { Whole, Window };
    struct Block {
        std::vector<Frame*> members;
        std::vector<BlockFrame> frames;
        std::vector<BlockTrack> tracks;
        std::vector<int64_t> ids;     // of the tracks
        std::map<int, int> position;  // frame index -> block position
    };
    // Builds the block (triangulating its new tracks), then (solve) solves
    // it and writes the poses and points back, pruning the observations the
    // adjustment dropped.
    void adjust(const std::vector<Frame*>& block, Adjustment kind, bool solve);
    Block buildBlock(const std::vector<Frame*>& block, Adjustment kind);
    AdjustReport solveBlock(Block& block, Adjustment kind);
    void writeBack(const Block& block);

    std::shared_ptr<fw::MapFrame> handOn(Frame& frame);
    // The local position a frame is handed on at and the scale from its
    // block to it (the core: where it is, 1).
    virtual cv::Vec3d handedOnCentre(const Frame& frame, double& scale);
    void advanceProgress();

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
    // The GPS positions of every frame tracked, as centres (live: they tell the scale).
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
    GpsFit gpsSeen_;
    // Live: the window's frame to the local one (gps = scale * centre + offset).
    double liveScale_ = 1.0;
    cv::Vec3d liveOffset_{0, 0, 0};
};

}  // namespace sfm
