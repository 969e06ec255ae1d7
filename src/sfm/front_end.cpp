#include "sfm/front_end.h"

#include "front_end_internal.h"
#include "sfm/batch_front_end.h"
#include "sfm/live_front_end.h"

#include "fw/camera.h"
#include "fw/dense_map_frame.h"
#include "fw/geodetic.h"
#include "fw/log.h"
#include "fw/map.h"
#include "fw/map_point.h"
#include "fw/messenger.h"
#include "sfm/gimbal_pose.h"
#include "zel/event_names.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <cmath>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>
#include <opencv2/calib3d.hpp>

namespace sfm {

using namespace front_end;

bool FrontEndSettings::fromConfig(const std::string& config, FrontEndSettings& s) {
    s = FrontEndSettings();
    const nlohmann::json parsed = nlohmann::json::parse(config, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return false;
    auto live = parsed.find("live");
    s.live = live != parsed.end() && live->is_boolean() && live->get<bool>();
    auto specific = parsed.find("specific");
    if (specific != parsed.end() && specific->is_object()) {
        auto refinement = specific->find("globalsfm.intrinsic_refinement");
        if (refinement != specific->end() && refinement->is_string()) {
            const std::string value = refinement->get<std::string>();
            if (value == "ADJUST_ALL")
                s.refineIntrinsics = true;
            else if (value != "NONE")
                FW_LOG(Warning) << "Unknown intrinsic refinement " << value << ": the intrinsics are kept.";
        }
    }
    s.threads = static_cast<int>(std::max(1u, std::min(4u, std::thread::hardware_concurrency())));
    s.adjustment.threads = s.threads;
    // A window starts near its optimum: the frames before it are adjusted.
    if (s.live) s.adjustment.maxIterations = 15;
    return true;
}

FrontEnd::FrontEnd(const FrontEndSettings& settings, zel::Chain* owner)
    : zel::Node("FrontEnd", owner), settings_(settings), owner_(owner) {
    setProgressRecord(ProgressNode("Locate", 0.0, 1.0, 1.0f, -1.0));
#if defined(__SANITIZE_THREAD__)
    // OpenCV's loops run on TBB's workers, which ThreadSanitizer does not
    // see: what the feature detector allocates there and frees here would
    // look unsynchronised. Under it the loops run on the calling thread.
    cv::setNumThreads(0);
#endif
}

FrontEnd::~FrontEnd() = default;

void FrontEnd::setFrameCount(int32_t count) { frameCount_ = count; }

int FrontEnd::cameraFor(const std::shared_ptr<fw::CameraImpl>& camera) {
    std::vector<double> p = camera->parameterVector();
    if (p.size() == 6) p.insert(p.end(), {0.0, 0.0, 0.0, 0.0, 0.0});
    for (size_t k = 0; k < cameraRecords_.size(); ++k)
        if (cameraRecords_[k] == p) return static_cast<int>(k);
    cameraRecords_.push_back(p);
    // Live frames are adjusted a few at a time, the first ones along a
    // single strip, which cannot tell the intrinsics from the attitudes:
    // live, the calibration is kept.
    cameras_.push_back(BlockCamera::fromParameters(p, settings_.refineIntrinsics && !settings_.live));
    return static_cast<int>(cameras_.size() - 1);
}

std::unique_ptr<FrontEnd::Frame> FrontEnd::locate(const std::shared_ptr<fw::MapFrame>& frame) {
    pt::Point3d lonLatAlt, pitchYawRoll;
    const bool hasGps = frame->getGPSLLA(lonLatAlt);
    // Without a position a frame is placed from its images, beside the
    // frames before it.
    if (!hasGps && (!haveTangent_ || frames_.empty())) {
        FW_LOG(Error) << "Frame " << frame->id << " is not located: it has no usable GPS position.";
        return nullptr;
    }
    if (!hasGps) lonLatAlt = lastPosition_;
    lastPosition_ = lonLatAlt;
    std::shared_ptr<fw::CameraImpl> camera = frame->getCamera(0);
    if (!camera || !camera->isValid() || !camera->intrinsics().hasPinhole) {
        FW_LOG(Error) << "Frame " << frame->id << " is not located: it has no valid camera.";
        return nullptr;
    }
    if (!haveTangent_) {
        tangent_ = TangentFrame(lonLatAlt.y, lonLatAlt.x, 0.0);
        haveTangent_ = true;
    }

    auto f = std::make_unique<Frame>();
    f->index = nextIndex_++;
    f->id = frame->id;
    f->timestamp = frame->timestamp;
    f->label = frame->label;
    frame->call("GetImagePath", &f->path);
    frame->call("GetGPS", &f->gps);

    BlockFrame& b = f->block;
    b.camera = cameraFor(camera);
    const pt::Point3d centre = fw::geodeticToECEF(lonLatAlt.y, lonLatAlt.x, lonLatAlt.z);
    b.gps = tangent_.toLocal(cv::Vec3d(centre.x, centre.y, centre.z));
    b.centre = b.gps;
    pt::Point3d sigma;
    if (!hasGps) {
        f->hasGps = false;
        b.gps = frames_.rbegin()->second->block.centre;
        b.centre = b.gps;
        b.gpsSigma = cv::Vec3d(0, 0, 0);
    } else if (frame->getGPSLLASigma(sigma) && sigma.x > 0 && sigma.y > 0 && sigma.z > 0) {
        b.gpsSigma = cv::Vec3d(std::max(sigma.x, 0.005), std::max(sigma.y, 0.005), std::max(sigma.z, 0.005));
    } else {
        b.gpsSigma = cv::Vec3d(5.0, 5.0, 10.0);
    }
    gpsSeen_.add(b.gps, b.gps, b.gpsSigma);
    if (frame->getAttitude(pitchYawRoll)) {
        const cv::Matx33d toEcef = cameraToEcef(lonLatAlt.y, lonLatAlt.x, pitchYawRoll.x, pitchYawRoll.y, pitchYawRoll.z);
        b.setWorldToCamera((tangent_.axes().t() * toEcef).t());
        b.attitude = b.rotation;
        b.attitudePrior = true;
        pt::Point3d attitudeSigma;
        double degrees = 5.0;
        if (frame->getAttitudeSigma(attitudeSigma))
            degrees = std::max({attitudeSigma.x, attitudeSigma.y, attitudeSigma.z});
        b.attitudeSigma = std::max(degrees * kDegree, kAttitudeSigmaFloor);
        f->gimbal = true;
        f->rotationSet = true;
    }

    const cv::Mat image = frame->getImage(0, 0);
    f->features = detectFeatures(image, camera->intrinsics(), settings_.features);
    b.pixelScale = f->features.scale;
    return f;
}

bool FrontEnd::pairOf(const Frame& frame, const Frame& earlier, PairMatch& match) const {
    if (frame.features.empty() || earlier.features.empty()) return false;
    const double focal = 0.5 * (cameras_[static_cast<size_t>(frame.block.camera)].values[0] * frame.features.scale +
                                cameras_[static_cast<size_t>(earlier.block.camera)].values[0] * earlier.features.scale);
    return matchFeatures(earlier.features, frame.features, focal, match, settings_.matching);
}

double FrontEnd::medianTrackDepth() {
    std::vector<double> depths;
    for (const auto& [id, track] : tracks_.all()) {
        if (!track.triangulated) continue;
        const auto at = frames_.find(track.observations.front().frame);
        if (at == frames_.end()) continue;
        const BlockFrame& b = at->second->block;
        depths.push_back((b.worldToCamera() * (track.point - b.centre))[2]);
    }
    if (depths.empty()) return 0.0;
    std::nth_element(depths.begin(), depths.begin() + static_cast<std::ptrdiff_t>(depths.size() / 2), depths.end());
    return depths[depths.size() / 2];
}

std::vector<std::pair<double, FrontEnd::Frame*>> FrontEnd::framesBeside(const Frame& frame, double footprint) {
    std::vector<std::pair<double, Frame*>> near;
    for (auto& [j, other] : frames_) {
        if (j >= frame.index - settings_.neighbours) break;
        const cv::Vec3d d = frame.block.gps - other->block.gps;
        const double distance = std::hypot(d[0], d[1]);
        if (distance < 0.7 * footprint) near.emplace_back(distance, other.get());
    }
    std::sort(near.begin(), near.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return near;
}

bool FrontEnd::matchWith(Frame& frame, Frame& earlier) {
    PairMatch match;
    if (!pairOf(frame, earlier, match)) return false;
    joinPair(frame, earlier, match);
    return true;
}

void FrontEnd::joinPair(Frame& frame, Frame& earlier, const PairMatch& match) {
    for (const auto& [a, b] : match.inliers) tracks_.join(earlier.index, a, frame.index, b);
    frame.matched = earlier.matched = true;
    pairs_[{earlier.index, frame.index}] = match;
}

FrontEnd::Frame* FrontEnd::addFrame(const std::shared_ptr<fw::MapFrame>& input, Frame*& previous) {
    previous = nullptr;
    if (!input) return nullptr;
    std::unique_ptr<Frame> located = locate(input);
    ++tracked_;
    if (!located) {
        advanceProgress();
        return nullptr;
    }
    Frame& frame = *located;
    const int index = frame.index;
    frames_[index] = std::move(located);

    // Recent neighbours in flight order.
    std::vector<Frame*> partners;
    for (auto it = frames_.rbegin(); it != frames_.rend(); ++it) {
        if (it->first >= index) continue;
        if (index - it->first > settings_.neighbours) break;
        if (!previous) previous = it->second.get();
        partners.push_back(it->second.get());
    }
    // The pairs are matched side by side (each search index built before),
    // then joined in order.
    buildIndex(frame.features);
    for (Frame* p : partners) buildIndex(p->features);
    std::vector<PairMatch> found(partners.size());
    std::vector<uchar> ok(partners.size(), 0);
    cv::parallel_for_(cv::Range(0, static_cast<int>(partners.size())), [&](const cv::Range& r) {
        for (int k = r.start; k < r.end; ++k)
            ok[static_cast<size_t>(k)] = pairOf(frame, *partners[static_cast<size_t>(k)], found[static_cast<size_t>(k)]) ? 1 : 0;
    });
    for (size_t k = 0; k < partners.size(); ++k)
        if (ok[k]) joinPair(frame, *partners[k], found[k]);
    return &frame;
}

void FrontEnd::placeFromImages(Frame& frame) {
    // The pair with the nearest earlier (else later) frame that has a
    // position: the images give the direction, the steps of the flight
    // around it the length.
    const PairMatch* pair = nullptr;
    Frame* partner = nullptr;
    bool partnerEarlier = true;
    int nearest = 1 << 30;
    for (const auto& [ab, m] : pairs_) {
        const bool earlier = ab.second == frame.index;
        if (!earlier && ab.first != frame.index) continue;
        const int other = earlier ? ab.first : ab.second;
        auto found = frames_.find(other);
        if (found == frames_.end() || !found->second->hasGps) continue;
        const int distance = std::abs(other - frame.index) * 2 + (earlier ? 0 : 1);
        if (distance < nearest) {
            nearest = distance;
            pair = &m;
            partner = found->second.get();
            partnerEarlier = earlier;
        }
    }
    double step = 0.0;
    int steps = 0;
    const Frame* last = nullptr;
    for (auto& [i, f] : frames_) {
        if (!f->hasGps) continue;
        if (last && i - last->index == 1) {
            step += cv::norm(f->block.gps - last->block.gps);
            ++steps;
        }
        last = f.get();
    }
    if (!pair || steps == 0) {
        frame.block.gps = frame.block.centre;
        return;
    }
    step /= steps;
    // x_later = R x_earlier + t: the later centre lies along -R_later' t from the earlier one.
    cv::Vec3d centre;
    if (partnerEarlier) {
        const cv::Vec3d d = -(frame.block.worldToCamera().t() * pair->direction);
        centre = partner->block.centre + step * d;
    } else {
        const cv::Vec3d d = partner->block.worldToCamera().t() * pair->direction;
        centre = partner->block.centre + step * d;
    }
    frame.block.centre = centre;
    frame.block.gps = centre;
    frame.block.gpsSigma = cv::Vec3d(0, 0, 0);
}

void FrontEnd::adjust(const std::vector<Frame*>& block, Adjustment kind, bool solve) {
    Block b = buildBlock(block, kind);
    if (solve && !b.tracks.empty()) solveBlock(b, kind);
    writeBack(b);
}

FrontEnd::Block FrontEnd::buildBlock(const std::vector<Frame*>& block, Adjustment kind) {
    const bool window = kind == Adjustment::Window;
    Block out;
    out.members = block;
    std::vector<BlockFrame>& frames = out.frames;
    std::map<int, int>& position = out.position;  // frame index -> block position
    for (Frame* f : block) {
        const int at = static_cast<int>(frames.size());
        position[f->index] = at;
        frames.push_back(f->block);
        BlockFrame& b = frames.back();
        b.fixed = window && f->settled;
        if (window) {
            // The GPS in the window's frame, whose scale the frames handed on hold.
            b.gps = (b.gps - liveOffset_) / liveScale_;
            b.gpsSigma /= liveScale_;
        }
        if (window && at > 0) {
            // The settled frames hold the window: a new frame's GPS
            // position would bend it wherever their scale was off. Its
            // step from the previous frame tells the scale; its position
            // is a loose prior only.
            const BlockFrame& p = frames[static_cast<size_t>(at - 1)];
            if (!(p.gpsSigma[0] > 0) || !(b.gpsSigma[0] > 0)) continue;
            b.previous = at - 1;
            b.step = b.gps - p.gps;
            for (int k = 0; k < 3; ++k) b.stepSigma[k] = std::hypot(b.gpsSigma[k], p.gpsSigma[k]);
            b.gpsSigma *= kLiveGpsLoosening;
        }
    }
    std::vector<BlockTrack>& tracks = out.tracks;
    std::vector<int64_t>& ids = out.ids;
    for (auto& [id, track] : tracks_.all()) {
        BlockTrack t;
        std::vector<cv::Point2d> rays;
        for (const TrackObservation& o : track.observations) {
            auto at = position.find(o.frame);
            if (at == position.end()) continue;
            const Frame& f = *frames_[o.frame];
            t.observations.push_back({at->second, o.keyPoint, f.features.pixels[static_cast<size_t>(o.keyPoint)]});
            rays.emplace_back(f.features.rays[static_cast<size_t>(o.keyPoint)]);
        }
        if (t.observations.size() < 2) continue;
        // Points that only settled frames see stay out: the window's cost
        // is that of its new frames.
        if (window && std::all_of(t.observations.begin(), t.observations.end(), [&](const BlockObservation& o) {
                return frames[static_cast<size_t>(o.frame)].fixed;
            }))
            continue;
        if (!track.triangulated) {
            if (!triangulateRays(frames, t.observations, rays, track.point)) continue;
            track.triangulated = true;
        }
        t.point = track.point;
        t.valid = true;
        tracks.push_back(std::move(t));
        ids.push_back(id);
    }
    return out;
}

AdjustReport FrontEnd::solveBlock(Block& b, Adjustment kind) {
    const bool window = kind == Adjustment::Window;
    std::vector<BlockFrame>& frames = b.frames;
    std::vector<BlockTrack>& tracks = b.tracks;
    const std::vector<Frame*>& block = b.members;
    const auto start = std::chrono::steady_clock::now();
    // A window starts near its optimum; a whole block may not.
    AdjustSettings adjustment = settings_.adjustment;
    if (!window) adjustment.maxIterations = std::max(adjustment.maxIterations, AdjustSettings().maxIterations);
    AdjustReport report;
    if (window && tracks.size() > kWindowPoints) {
        // The longest tracks hold the window's new frames; the others
        // are triangulated again in the adjusted poses.
        std::vector<size_t> order(tracks.size());
        for (size_t k = 0; k < order.size(); ++k) order[k] = k;
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            return tracks[a].observations.size() > tracks[b].observations.size();
        });
        std::vector<BlockTrack> held;
        for (size_t k = 0; k < kWindowPoints; ++k) held.push_back(tracks[order[k]]);
        report = adjustBlock(frames, cameras_, held, adjustment);
        for (size_t k = 0; k < kWindowPoints; ++k) tracks[order[k]] = std::move(held[k]);
        for (size_t k = kWindowPoints; k < order.size(); ++k) {
            BlockTrack& t = tracks[order[k]];
            std::vector<cv::Point2d> rays;
            for (const BlockObservation& o : t.observations)
                rays.emplace_back(block[static_cast<size_t>(o.frame)]->features.rays[static_cast<size_t>(o.keyPoint)]);
            cv::Vec3d point;
            if (triangulateRays(frames, t.observations, rays, point)) t.point = point;
        }
    } else {
        report = adjustBlock(frames, cameras_, tracks, adjustment);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!window)
        FW_LOG(Info) << "Adjusted " << frames.size() << " frames with " << tracks.size() << " points in " << seconds
                     << " s: " << report.observations << " observations, " << report.rmsPixels << " px rms, " << report.iterations << " iterations.";
    return report;
}

void FrontEnd::writeBack(const Block& b) {
    const std::vector<Frame*>& block = b.members;
    const std::vector<BlockFrame>& frames = b.frames;
    const std::vector<BlockTrack>& tracks = b.tracks;
    const std::vector<int64_t>& ids = b.ids;
    const std::map<int, int>& position = b.position;
    for (size_t k = 0; k < block.size(); ++k)
        if (!frames[k].fixed) {
            block[k]->block.rotation = frames[k].rotation;
            block[k]->block.centre = frames[k].centre;
        }
    for (size_t k = 0; k < tracks.size(); ++k) {
        FeatureTrack* track = tracks_.find(ids[k]);
        if (!track) continue;
        track->point = tracks[k].point;
        // Observations the adjustment dropped leave the track.
        std::vector<TrackObservation> kept;
        for (const BlockObservation& o : tracks[k].valid ? tracks[k].observations : std::vector<BlockObservation>())
            kept.push_back({block[static_cast<size_t>(o.frame)]->index, o.keyPoint});
        std::vector<TrackObservation> gone;
        for (const TrackObservation& o : track->observations) {
            if (position.find(o.frame) == position.end()) continue;
            const bool stays = std::any_of(kept.begin(), kept.end(), [&](const TrackObservation& k2) {
                return k2.frame == o.frame && k2.keyPoint == o.keyPoint;
            });
            if (!stays) gone.push_back(o);
        }
        if (!tracks[k].valid) track->triangulated = false;
        for (const TrackObservation& o : gone) tracks_.removeObservation(o.frame, o.keyPoint);
    }
}

cv::Vec3d FrontEnd::handedOnCentre(const Frame& f, double& scale) {
    scale = 1.0;
    return f.block.centre;
}

std::shared_ptr<fw::MapFrame> FrontEnd::handOn(Frame& f) {
    f.published = true;
    if (!f.matched)
        FW_LOG(Warning) << "Frame " << f.id << " could not be matched with its neighbours: it keeps its recorded pose.";
    const BlockCamera& c = cameras_[static_cast<size_t>(f.block.camera)];
    std::shared_ptr<fw::CameraImpl> camera = fw::CameraImpl::create(c.parameters());
    auto out = std::make_shared<::MapFrame>(f.id, f.timestamp, fw::GImage(), f.path, camera, f.gps, 1);
    const cv::Matx33d cameraToEcef = tangent_.axes() * f.block.worldToCamera().t();
    fw::SO3 rotation;
    rotation.fromMatrix(cameraToEcef.val);
    double scale = 1.0;
    const cv::Vec3d local = handedOnCentre(f, scale);
    const cv::Vec3d centre = tangent_.toEcef(local);
    out->setPose(fw::SE3(rotation, pt::Point3d(centre[0], centre[1], centre[2])));
    out->label = f.label;

    struct Candidate {
        FeatureTrack* track;
        int keyPoint;
        double depth;
    };
    std::vector<Candidate> candidates;
    const cv::Matx33d R = f.block.worldToCamera();
    for (int64_t id : tracks_.tracksOfFrame(f.index)) {
        FeatureTrack* track = tracks_.find(id);
        if (!track || !track->triangulated) continue;
        int seen = 0, keyPoint = -1;
        for (const TrackObservation& o : track->observations) {
            if (frames_.count(o.frame)) ++seen;
            if (o.frame == f.index) keyPoint = o.keyPoint;
        }
        if (keyPoint < 0 || seen < 2) continue;
        const double depth = (R * (track->point - f.block.centre))[2];
        if (depth < 0.1) continue;
        candidates.push_back({track, keyPoint, depth});
    }

    // A point is handed on when its image neighbours back its depth: a
    // match of two keypoints a pixel or two apart along their epipolar
    // line fits both views but stands out of the surface around it.
    std::vector<fw::KeyPoint> keyPoints;
    std::vector<std::shared_ptr<fw::MapPoint>> points;
    const std::vector<cv::Point2f>& pixels = f.features.pixels;
    std::vector<std::pair<float, double>> near;
    for (const Candidate& c : candidates) {
        const cv::Point2f p = pixels[static_cast<size_t>(c.keyPoint)];
        near.clear();
        for (const Candidate& o : candidates) {
            if (&o == &c) continue;
            const cv::Point2f d = pixels[static_cast<size_t>(o.keyPoint)] - p;
            // A keypoint found twice at one place (two orientations) backs nothing.
            if (d.x * d.x + d.y * d.y < 1.0f) continue;
            near.emplace_back(d.x * d.x + d.y * d.y, o.depth);
        }
        const size_t k = std::min<size_t>(near.size(), kSupportNeighbours);
        std::partial_sort(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(k), near.end());
        int support = 0;
        for (size_t n = 0; n < k; ++n)
            if (std::abs(near[n].second - c.depth) <= kSupportTolerance * c.depth) ++support;
        if (support < kMinSupport) continue;
        FeatureTrack* track = c.track;
        if (!track->handedOn) {
            const cv::Vec3d w = tangent_.toEcef(local + scale * (track->point - f.block.centre));
            track->handedOn = std::make_shared<fw::MapPoint>(nextPointId_++, pt::Point3d(w[0], w[1], w[2]));
        }
        fw::KeyPoint key;
        key.x = p.x;
        key.y = p.y;
        key.size = f.features.sizes[static_cast<size_t>(c.keyPoint)];
        keyPoints.push_back(key);
        points.push_back(track->handedOn);
    }
    out->setKeyPoints(keyPoints, fw::GImage());
    for (size_t i = 0; i < points.size(); ++i) out->addObservation(points[i], i, true);
    FW_LOG(Info) << "Frame " << f.id << " located with " << points.size() << " sparse points.";
    return out;
}

void FrontEnd::advanceProgress() {
    const int32_t total = frameCount_ > 0 ? std::max(frameCount_, tracked_) : tracked_;
    setProgress(tracked_, total);
}

}  // namespace sfm

std::shared_ptr<fw::SLAM> createSfmInstance(const std::string& config, zel::Chain* owner, void* messenger,
                                            void* logSinks) {
    if (messenger && logSinks)
        fw::setGlobalServices(static_cast<fw::Messenger*>(messenger),
                              *static_cast<std::shared_ptr<fw::LogSinkSet>*>(logSinks));
    sfm::FrontEndSettings settings;
    if (!sfm::FrontEndSettings::fromConfig(config, settings)) {
        FW_LOG(Error) << "Front end configuration is not a JSON object: " << config;
        return nullptr;
    }
    if (settings.live) return std::make_shared<sfm::LiveFrontEnd>(settings, owner);
    return std::make_shared<sfm::BatchFrontEnd>(settings, owner);
}
