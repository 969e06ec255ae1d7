#include "sfm/front_end.h"

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
namespace {

constexpr double kDegree = 3.14159265358979323846 / 180.0;
// Without gimbal angles the camera is taken to look down (its image top
// along the flight, for a start only): a loose prior on the viewing
// direction, for the rotation about a single strip's line.
constexpr double kNadirSigma = 10.0 * kDegree;
// Depth support of a handed-on point: of its nearest keypoints in the
// image, this many must lie within the tolerance of its depth.
constexpr size_t kSupportNeighbours = 8;
constexpr int kMinSupport = 2;
constexpr double kSupportTolerance = 0.01;
// Live: the most points the window's adjustment solves for.
constexpr size_t kWindowPoints = 2000;
// Live: how much looser the absolute GPS prior of a frame is than its record says.
constexpr double kLiveGpsLoosening = 20.0;
// Live: the frames' spread (weighted by their GPS accuracy) the GPS must
// show before it tells the scale (to about 1 / sqrt of it).
constexpr double kMinScaleSpread = 2500.0;
// Live: the spread at which the held frames of a flight's start are handed
// on: the scale to 1 / 300, which keeps neighbours' relative positions
// within 1 % of their baseline at three standard deviations.
constexpr double kSettledScaleSpread = 300.0 * 300.0;
// A recorded attitude that the images turn by more than this from its
// neighbours' is wrong (a gimbal heading half a turn off on a strip flown
// backwards): the images give that frame's heading.
constexpr double kHeadingDisagreement = 30.0 * kDegree;
// Points departing from the plane that fits a frame's points by this much
// of their depth (the median over the frames of the median) tell the focal
// length from the flying height, the radial terms from a bend of the block.
constexpr double kReliefForIntrinsics = 0.01;
// A GPS position this many of its standard deviations off the fit counts half.
constexpr double kGpsLossSigmas = 3.0;
// A GPS step between matched frames whose direction the images turn by
// more than this is wrong at one end: a frame whose steps are mostly wrong
// has a wrong position.
constexpr double kGpsDisagreement = 20.0 * kDegree;
// The gimbal's attitude is a prior as loose as its record says, never tighter than this.
constexpr double kAttitudeSigmaFloor = 0.05 * kDegree;

// The nearest rotation to a 3x3 matrix.
cv::Matx33d nearestRotation(const cv::Matx33d& M) {
    cv::Mat w, u, vt;
    cv::SVD::compute(cv::Mat(M), w, u, vt);
    cv::Matx33d R = cv::Matx33d(cv::Mat(u * vt));
    if (cv::determinant(R) < 0) {
        cv::Mat d = cv::Mat::eye(3, 3, CV_64F);
        d.at<double>(2, 2) = -1.0;
        R = cv::Matx33d(cv::Mat(u * d * vt));
    }
    return R;
}

// The turn about the viewing axis (radians) that best fits a relative
// rotation of two cameras, and the rotation of that turn.
double viewTurn(const cv::Matx33d& relative) {
    return std::atan2(relative(1, 0) - relative(0, 1), relative(0, 0) + relative(1, 1));
}
cv::Matx33d aboutViewingAxis(double turn) {
    const double c = std::cos(turn), s = std::sin(turn);
    return cv::Matx33d(c, -s, 0, s, c, 0, 0, 0, 1);
}
// The angle of a rotation, radians.
double rotationAngle(const cv::Matx33d& R) { return std::acos(std::clamp((cv::trace(R) - 1.0) / 2.0, -1.0, 1.0)); }

// An angle in (-pi, pi].
double wrapAngle(double a) { return std::remainder(a, 2.0 * 3.14159265358979323846); }

// Smaller turns between neighbours are left to the adjustment.
constexpr double kHeadingKept = 5.0 * kDegree;

// Along a strip neighbours keep their heading: a larger relative rotation
// is a turn or a wrong decomposition, and the images' chain breaks there.
bool sameHeading(const cv::Matx33d& relative) { return (cv::trace(relative) - 1.0) / 2.0 > std::cos(5.0 * kDegree); }

}  // namespace

struct FrontEnd::Frame {
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

FrontEndSettings FrontEndSettings::fromConfig(const std::string& config, bool* ok) {
    FrontEndSettings s;
    const nlohmann::json parsed = nlohmann::json::parse(config, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        if (ok) *ok = false;
        return s;
    }
    if (ok) *ok = true;
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
    return s;
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

bool FrontEnd::trackFrame(const std::shared_ptr<fw::MapFrame>& input) {
    if (!input) return false;
    std::unique_ptr<Frame> located = locate(input);
    ++tracked_;
    if (!located) {
        advanceProgress();
        return false;
    }
    Frame& frame = *located;
    const int index = frame.index;
    frames_[index] = std::move(located);

    // Recent neighbours in flight order.
    Frame* previous = nullptr;
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

    if (settings_.live) {
        // The centre starts in the window's frame: the previous frame's
        // moved by the GPS step, in the window's scale.
        if (!frame.hasGps)
            placeFromImages(frame);
        else if (previous && previous->hasGps)
            frame.block.centre = previous->block.centre + (frame.block.gps - previous->block.gps) / liveScale_;
        else
            frame.block.centre = (frame.block.gps - liveOffset_) / liveScale_;
        // The rotation: the gimbal's; else that of the latest frame it was
        // matched with, turned as the images turned; else looking down
        // along the flight.
        const Frame* partner = nullptr;
        const PairMatch* pair = nullptr;
        for (auto it = frames_.rbegin(); it != frames_.rend() && !pair; ++it) {
            auto found = pairs_.find({it->first, index});
            if (found == pairs_.end()) continue;
            partner = it->second.get();
            pair = &found->second;
        }
        // A recorded attitude that the images turn far from the partner's
        // is wrong: the images give the heading, the record the viewing direction.
        if (frame.gimbal && pair) {
            const cv::Matx33d own = frame.block.worldToCamera();
            const double off = wrapAngle(viewTurn(pair->rotation) - viewTurn(own * partner->block.worldToCamera().t()));
            if (std::abs(off) > kHeadingDisagreement) {
                FW_LOG(Warning) << "Frame " << frame.id << ": its recorded heading is " << std::abs(off) / kDegree
                                << " degrees off what its images and its neighbours tell; its heading is taken from the images.";
                frame.block.setWorldToCamera(aboutViewingAxis(off) * own);
                frame.block.attitude = frame.block.rotation;
                frame.block.viewOnly = true;
            }
        }
        if (!frame.gimbal) {
            cv::Matx33d heading = cameraToEnu(-90.0, 0.0, 0.0).t();
            if (previous) {
                const cv::Vec3d d = frame.block.gps - previous->block.gps;
                heading = cameraToEnu(-90.0, std::atan2(d[0], d[1]) / kDegree, 0.0).t();
                // The first frame had no flight direction yet.
                if (!previous->gimbal && !previous->settled && !previous->rotationSet) {
                    previous->block.setWorldToCamera(heading);
                    previous->block.attitude = previous->block.rotation;
                    previous->block.attitudePrior = true;
                    previous->block.attitudeSigma = kNadirSigma;
                    previous->block.viewOnly = true;
                    previous->rotationSet = true;
                }
            }
            frame.block.setWorldToCamera(heading);
            frame.block.attitude = frame.block.rotation;
            frame.block.attitudePrior = previous != nullptr;
            frame.block.attitudeSigma = kNadirSigma;
            frame.block.viewOnly = true;
            frame.rotationSet = previous != nullptr;
            // Over flat ground the essential matrix may decompose into a
            // tilted twin, whose turn about the viewing axis still holds
            // (at the end of a strip it is the half turn the GPS cannot tell).
            if (pair) {
                const double turn = viewTurn(pair->rotation);
                const cv::Matx33d& R = partner->block.worldToCamera();
                frame.block.setWorldToCamera(std::abs(turn) > kHeadingKept ? aboutViewingAxis(turn) * R : R);
            }
        }
        std::vector<Frame*> block;
        for (auto& [i, f] : frames_) block.push_back(f.get());
        adjust(block, Adjustment::Window, true);
        if (previous && !previous->settled) settle(*previous);
        if (released_) {
            handOnSettled();
        } else {
            int held = 0;
            for (auto& [i, f] : frames_) held += f->settled ? 1 : 0;
            if (gpsSeen_.spread() >= kSettledScaleSpread || held >= std::max(1, settings_.maxHeld)) release();
        }
        // Keep the window.
        while (static_cast<int>(frames_.size()) > settings_.window) {
            auto oldest = frames_.begin();
            if (!oldest->second->published) break;
            tracks_.dropFrame(oldest->first);
            for (auto p = pairs_.begin(); p != pairs_.end();)
                p = p->first.first == oldest->first || p->first.second == oldest->first ? pairs_.erase(p) : std::next(p);
            frames_.erase(oldest);
        }
    }
    advanceProgress();
    return true;
}

double FrontEnd::reliefOf(int camera) const {
    // Per frame: the points it sees against the plane that fits them best
    // (inverse depth linear in the ray), the median of their relative
    // departures; the median over the frames.
    std::vector<double> reliefs;
    for (const auto& [i, f] : frames_) {
        if (f->block.camera != camera) continue;
        const cv::Matx33d R = f->block.worldToCamera();
        std::vector<cv::Vec3d> rows;
        std::vector<double> inverse;
        for (int64_t id : tracks_.tracksOfFrame(i)) {
            const FeatureTrack* t = tracks_.find(id);
            if (!t || !t->triangulated) continue;
            const cv::Vec3d p = R * (t->point - f->block.centre);
            if (p[2] <= 0) continue;
            rows.emplace_back(p[0] / p[2], p[1] / p[2], 1.0);
            inverse.push_back(1.0 / p[2]);
        }
        if (rows.size() < 20) continue;
        cv::Matx33d A = cv::Matx33d::zeros();
        cv::Vec3d b(0, 0, 0);
        for (size_t k = 0; k < rows.size(); ++k) {
            A += rows[k] * rows[k].t();
            b += rows[k] * inverse[k];
        }
        const cv::Vec3d plane = A.solve(b, cv::DECOMP_SVD);
        std::vector<double> departures;
        for (size_t k = 0; k < rows.size(); ++k) {
            const double fit = plane.dot(rows[k]);
            if (fit > 0) departures.push_back(std::abs(inverse[k] - fit) / fit);
        }
        if (departures.empty()) continue;
        std::nth_element(departures.begin(), departures.begin() + static_cast<std::ptrdiff_t>(departures.size() / 2), departures.end());
        reliefs.push_back(departures[departures.size() / 2]);
    }
    if (reliefs.empty()) return 0.0;
    std::nth_element(reliefs.begin(), reliefs.begin() + static_cast<std::ptrdiff_t>(reliefs.size() / 2), reliefs.end());
    return reliefs[reliefs.size() / 2];
}

void FrontEnd::initialRotations() {
    // Frames without gimbal angles: looking down along the flight, the
    // heading from the neighbours' GPS; each run of frames matched along a
    // strip (the images see no turn) starts from one rotation, the one that
    // fits those headings best.
    std::vector<Frame*> order;
    for (auto& [i, f] : frames_) order.push_back(f.get());
    const size_t n = order.size();
    std::vector<cv::Matx33d> heading(n, cv::Matx33d::eye());
    for (size_t k = 0; k < n; ++k) {
        const cv::Vec3d from = order[k > 0 ? k - 1 : k]->block.gps;
        const cv::Vec3d to = order[k + 1 < n ? k + 1 : k]->block.gps;
        const cv::Vec3d d = to - from;
        const double yaw = std::hypot(d[0], d[1]) > 1e-6 ? std::atan2(d[0], d[1]) / kDegree : 0.0;
        heading[k] = cameraToEnu(-90.0, yaw, 0.0).t();
    }
    size_t start = 0;
    while (start < n) {
        // A run: consecutive frames without gimbal whose pairs are verified.
        if (order[start]->gimbal) {
            ++start;
            continue;
        }
        std::vector<cv::Matx33d> chain{cv::Matx33d::eye()};
        size_t end = start + 1;
        while (end < n && !order[end]->gimbal) {
            auto pair = pairs_.find({order[end - 1]->index, order[end]->index});
            if (pair == pairs_.end() || !sameHeading(pair->second.rotation)) break;
            chain.push_back(chain.back());
            ++end;
        }
        cv::Matx33d sum = cv::Matx33d::zeros();
        for (size_t k = start; k < end; ++k) sum += chain[k - start].t() * heading[k];
        const cv::Matx33d Q = nearestRotation(sum);
        for (size_t k = start; k < end; ++k) {
            BlockFrame& b = order[k]->block;
            cv::Rodrigues(heading[k], b.attitude);
            b.attitudePrior = true;
            b.attitudeSigma = kNadirSigma;
            b.viewOnly = true;
            b.setWorldToCamera(chain[k - start] * Q);
        }
        start = end;
    }
}

void FrontEnd::checkRecordedHeadings() {
    // Frames whose recorded headings agree with their pairs' turns about the
    // viewing axis (which holds where a decomposition over flat ground is a
    // tilted twin) form groups; each group's headings are off the truth by
    // one turn, which the pairs between groups tell. The largest set of
    // frames whose groups share a turn is taken as right, the others take
    // their heading from the images and keep the viewing direction as prior.
    std::map<int, int> group;  // frame index -> group (union-find parent)
    std::function<int(int)> root = [&](int i) { return group[i] == i ? i : group[i] = root(group[i]); };
    for (auto& [i, f] : frames_)
        if (f->gimbal) group[i] = i;
    auto recorded = [&](int i) {
        cv::Matx33d R;
        cv::Rodrigues(frames_[i]->block.attitude, R);
        return R;
    };
    // How much more the images turn b from a than the records do.
    auto offsetOf = [&](const std::pair<int, int>& ab, const PairMatch& m) {
        return wrapAngle(viewTurn(m.rotation) - viewTurn(recorded(ab.second) * recorded(ab.first).t()));
    };
    for (const auto& [ab, m] : pairs_)
        if (group.count(ab.first) && group.count(ab.second) && std::abs(offsetOf(ab, m)) < kHeadingDisagreement)
            group[root(ab.second)] = root(ab.first);
    std::map<int, size_t> size;
    for (auto& [i, g] : group) ++size[root(i)];
    if (size.size() < 2) return;
    // Each group's turn from the first one reached. A pair may be a wrong
    // match: a group's turn is the one that most pairs from the groups
    // already turned agree with.
    std::map<int, double> turn;  // group root -> turn, radians
    for (auto& [start, n] : size) {
        if (turn.count(start)) continue;
        turn[start] = 0.0;
        for (;;) {
            std::map<int, std::vector<double>> candidates;
            for (const auto& [ab, m] : pairs_) {
                if (!group.count(ab.first) || !group.count(ab.second)) continue;
                const int ga = root(ab.first), gb = root(ab.second);
                if (turn.count(ga) && !turn.count(gb)) candidates[gb].push_back(wrapAngle(turn[ga] + offsetOf(ab, m)));
                if (turn.count(gb) && !turn.count(ga)) candidates[ga].push_back(wrapAngle(turn[gb] - offsetOf(ab, m)));
            }
            if (candidates.empty()) break;
            int next = -1;
            size_t support = 0;
            double chosen = 0.0;
            for (const auto& [g, list] : candidates)
                for (double c : list) {
                    size_t agree = 0;
                    for (double d : list) agree += std::abs(wrapAngle(d - c)) < 0.5 * kHeadingDisagreement ? 1 : 0;
                    if (agree > support) {
                        support = agree;
                        next = g;
                        chosen = c;
                    }
                }
            turn[next] = chosen;
        }
    }
    // The turn shared by the most frames.
    double best = 0.0;
    size_t bestFrames = 0;
    for (const auto& [g, t] : turn) {
        size_t n = 0;
        for (const auto& [h, u] : turn)
            if (std::abs(wrapAngle(u - t)) < kHeadingDisagreement) n += size[h];
        if (n > bestFrames) {
            bestFrames = n;
            best = t;
        }
    }
    for (auto& [i, g] : group) {
        const double correction = wrapAngle(turn[root(i)] - best);
        if (std::abs(correction) < kHeadingDisagreement) continue;
        Frame& f = *frames_[i];
        FW_LOG(Warning) << "Frame " << f.id << ": its recorded heading is " << std::abs(correction) / kDegree
                        << " degrees off what its images and its neighbours tell; its heading is taken from the images.";
        f.block.setWorldToCamera(aboutViewingAxis(correction) * recorded(i));
        f.block.attitude = f.block.rotation;
        f.block.viewOnly = true;
    }
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

void FrontEnd::checkRecordedPositions() {
    // A pair's GPS step and the images' direction between the two frames
    // (in the recorded attitudes) agree where both positions are right.
    // Decompositions that the records' relative rotation contradicts (the
    // tilted twin over flat ground) tell nothing.
    std::map<int, int> pairs, wrong;
    // Along a strip the direction holds for a fix moved along it: a step far
    // longer than the pairs' usual one is wrong as well.
    std::vector<double> lengths;
    for (const auto& [ab, m] : pairs_) lengths.push_back(cv::norm(frames_[ab.second]->block.gps - frames_[ab.first]->block.gps));
    if (lengths.empty()) return;
    std::nth_element(lengths.begin(), lengths.begin() + static_cast<std::ptrdiff_t>(lengths.size() / 2), lengths.end());
    const double usual = lengths[lengths.size() / 2];
    for (const auto& [ab, m] : pairs_) {
        Frame& a = *frames_[ab.first];
        Frame& b = *frames_[ab.second];
        if (!a.gimbal || !b.gimbal || !a.hasGps || !b.hasGps) continue;
        const cv::Matx33d Ra = a.block.worldToCamera(), Rb = b.block.worldToCamera();
        if (rotationAngle(m.rotation * (Rb * Ra.t()).t()) > 3.0 * std::max(a.block.attitudeSigma, b.block.attitudeSigma))
            continue;
        const cv::Vec3d images = -(Rb.t() * m.direction);
        const cv::Vec3d gps = b.block.gps - a.block.gps;
        if (cv::norm(gps) < 1e-6) continue;
        const double angle = std::acos(std::clamp(images.dot(gps) / (cv::norm(images) * cv::norm(gps)), -1.0, 1.0));
        // Within the GPS's own error of the step.
        const double sigma = std::atan2(2.0 * cv::norm(a.block.gpsSigma + b.block.gpsSigma), cv::norm(gps));
        const bool off = angle > std::max(kGpsDisagreement, 3.0 * sigma) ||
                         cv::norm(gps) > 4.0 * usual + 3.0 * cv::norm(a.block.gpsSigma + b.block.gpsSigma);
        for (int i : {ab.first, ab.second}) {
            ++pairs[i];
            wrong[i] += off ? 1 : 0;
        }
    }
    for (auto& [i, n] : pairs) {
        if (n < 2 || 3 * wrong[i] < 2 * n) continue;
        Frame& f = *frames_[i];
        FW_LOG(Warning) << "Frame " << f.id << ": its GPS position disagrees with its images and its neighbours (" << wrong[i]
                        << " of " << n << " pairs); it is located from the images.";
        f.hasGps = false;
        f.block.gpsSigma = cv::Vec3d(0, 0, 0);
    }
}

void FrontEnd::matchAcrossStrips() {
    // Height over the ground from the points of the neighbour pairs.
    std::vector<double> depths;
    for (auto& [id, track] : tracks_.all()) {
        if (!track.triangulated) continue;
        const Frame& f = *frames_[track.observations.front().frame];
        depths.push_back((f.block.worldToCamera() * (track.point - f.block.centre))[2]);
    }
    if (depths.empty()) return;
    std::nth_element(depths.begin(), depths.begin() + static_cast<std::ptrdiff_t>(depths.size() / 2), depths.end());
    const double depth = depths[depths.size() / 2];
    for (auto& [i, frame] : frames_) {
        const BlockCamera& c = cameras_[static_cast<size_t>(frame->block.camera)];
        const double footprint = depth * std::max(c.width, c.height) / c.values[0];
        std::vector<std::pair<double, Frame*>> near;
        for (auto& [j, other] : frames_) {
            if (j >= i - settings_.neighbours) break;
            const cv::Vec3d d = frame->block.gps - other->block.gps;
            const double distance = std::hypot(d[0], d[1]);
            if (distance < 0.7 * footprint) near.emplace_back(distance, other.get());
        }
        std::sort(near.begin(), near.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        int partners = 0, tries = 0;
        for (const auto& [distance, other] : near) {
            if (partners >= settings_.crossStripPartners || tries++ > settings_.crossStripPartners) break;
            if (matchWith(*frame, *other)) ++partners;
        }
    }
}

void FrontEnd::adjust(const std::vector<Frame*>& block, Adjustment kind, bool solve) {
    const bool window = kind == Adjustment::Window;
    std::vector<BlockFrame> frames;
    std::map<int, int> position;  // frame index -> block position
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
    std::vector<BlockTrack> tracks;
    std::vector<int64_t> ids;
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
    if (solve && !tracks.empty()) {
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
    }

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
    // Live: the step from the last frame handed on at the scale that all GPS
    // settled so far give; the window's own scale is that of the held frames.
    cv::Vec3d local = f.block.centre;
    double scale = 1.0;
    if (settings_.live) {
        scale = liveScale_;
        local = haveLast_ ? lastHandedOn_ + scale * (f.block.centre - lastCentre_) : scale * f.block.centre + liveOffset_;
        haveLast_ = true;
        lastCentre_ = f.block.centre;
        lastHandedOn_ = local;
    }
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

void FrontEnd::settle(Frame& f) {
    f.settled = true;
    gpsFit_.add(f.block.centre, f.block.gps, f.block.gpsSigma);
    gpsFit_.solve(liveScale_, liveOffset_);
}

void FrontEnd::release() {
    // The held frames, taken from the window's frame to the GPS by the fit
    // so far, are adjusted together with their GPS as recorded, as a file
    // dataset is (the calibration kept); their frame is the window's from
    // here on.
    released_ = true;
    std::vector<Frame*> block;
    int settled = 0;
    for (auto& [i, f] : frames_) {
        block.push_back(f.get());
        settled += f->settled ? 1 : 0;
        f->block.centre = liveScale_ * f->block.centre + liveOffset_;
    }
    for (auto& [id, track] : tracks_.all())
        if (track.triangulated) track.point = liveScale_ * track.point + liveOffset_;
    liveScale_ = 1.0;
    liveOffset_ = cv::Vec3d(0, 0, 0);
    adjust(block, Adjustment::Whole, true);
    gpsFit_ = GpsFit();
    for (Frame* f : block)
        if (f->settled) gpsFit_.add(f->block.centre, f->block.gps, f->block.gpsSigma);
    gpsFit_.solve(liveScale_, liveOffset_);
    const double spread = gpsSeen_.spread();
    FW_LOG(Info) << "Live scale from the GPS of " << block.size() << " frames (to about "
                 << (spread > 0 ? 100.0 / std::sqrt(spread) : 100.0) << " %): " << settled << " frames handed on.";
    handOnSettled();
}

void FrontEnd::handOnSettled() {
    for (auto& [i, f] : frames_) {
        if (!f->settled || f->published) continue;
        std::shared_ptr<fw::MapFrame> out = handOn(*f);
        if (owner_) owner_->handle(zel::events::kFrameLocated, out);
    }
}

void FrontEnd::finish() {
    if (settings_.live) {
        if (!frames_.empty()) {
            Frame& last = *frames_.rbegin()->second;
            if (!last.settled) settle(last);
            if (released_)
                handOnSettled();
            else
                release();
        }
        frames_.clear();
        return;
    }
    if (frames_.empty()) return;
    initialRotations();
    checkRecordedHeadings();
    checkRecordedPositions();
    for (auto& [i, f] : frames_)
        if (!f->hasGps) placeFromImages(*f);
    std::vector<Frame*> block;
    for (auto& [i, f] : frames_) block.push_back(f.get());
    // Triangulate the neighbours' tracks from the recorded poses, which also
    // tells the height over the ground for the strips' overlaps.
    adjust(block, Adjustment::Whole, false);
    matchAcrossStrips();
    for (auto& [id, track] : tracks_.all()) track.triangulated = false;
    // Over flat ground seen straight down the focal length trades with the
    // flying height and the radial terms with a bend of the block: they are
    // held at the record's (the principal point refined) unless the
    // adjusted points show relief, and then freed from there.
    constexpr int kHeldOverFlatGround[] = {0, 3, 4};
    std::vector<bool> refined;
    for (BlockCamera& c : cameras_) {
        refined.push_back(c.refine);
        if (c.refine)
            for (int i : kHeldOverFlatGround) c.hold[i] = true;
    }
    adjust(block, Adjustment::Whole, true);
    bool freed = false;
    for (size_t k = 0; k < cameras_.size(); ++k) {
        if (!refined[k]) continue;
        const double relief = reliefOf(static_cast<int>(k));
        const bool tells = relief >= kReliefForIntrinsics;
        FW_LOG(Info) << "Camera " << k << ": relief " << relief * 100 << " % of the depth: focal length and radial terms "
                     << (tells ? "refined." : "kept as recorded.");
        if (tells) {
            for (bool& h : cameras_[k].hold) h = false;
            freed = true;
        }
    }
    if (freed) adjust(block, Adjustment::Whole, true);
    for (BlockCamera& c : cameras_)
        for (bool& h : c.hold) h = false;

    auto map = std::make_shared<fw::Map>();
    for (Frame* f : block) map->addFrame(handOn(*f));
    frames_.clear();
    if (owner_) owner_->handle(zel::events::kMapLocated, map);
}

void FrontEnd::GpsFit::add(const cv::Vec3d& centre, const cv::Vec3d& gps, const cv::Vec3d& sigma) {
    for (int k = 0; k < 3; ++k)
        if (!(sigma[k] > 0)) return;
    samples.push_back({centre, gps, sigma});
}

double FrontEnd::GpsFit::spread() const {
    cv::Vec3d weight(0, 0, 0), sum(0, 0, 0), squares(0, 0, 0);
    for (const Sample& p : samples)
        for (int k = 0; k < 3; ++k) {
            const double w = 1.0 / (p.sigma[k] * p.sigma[k]);
            weight[k] += w;
            sum[k] += w * p.centre[k];
            squares[k] += w * p.centre[k] * p.centre[k];
        }
    double variance = 0.0;
    for (int k = 0; k < 3; ++k)
        if (weight[k] > 0) variance += squares[k] - sum[k] * sum[k] / weight[k];
    return variance;
}

void FrontEnd::GpsFit::solve(double& scale, cv::Vec3d& offset) const {
    // Weighted least squares, reweighted: a position far off the others'
    // fit (in its own standard deviations) counts less and less.
    std::vector<double> robust(samples.size(), 1.0);
    scale = 1.0;
    offset = cv::Vec3d(0, 0, 0);
    for (int round = 0; round < 8; ++round) {
        cv::Vec3d weight(0, 0, 0), sumC(0, 0, 0), sumG(0, 0, 0), sumCG(0, 0, 0), sumCC(0, 0, 0);
        for (size_t i = 0; i < samples.size(); ++i)
            for (int k = 0; k < 3; ++k) {
                const Sample& p = samples[i];
                const double w = robust[i] / (p.sigma[k] * p.sigma[k]);
                weight[k] += w;
                sumC[k] += w * p.centre[k];
                sumG[k] += w * p.gps[k];
                sumCG[k] += w * p.centre[k] * p.gps[k];
                sumCC[k] += w * p.centre[k] * p.centre[k];
            }
        double covariance = 0.0, variance = 0.0;
        for (int k = 0; k < 3; ++k)
            if (weight[k] > 0) {
                covariance += sumCG[k] - sumC[k] * sumG[k] / weight[k];
                variance += sumCC[k] - sumC[k] * sumC[k] / weight[k];
            }
        // The scale's standard deviation is about 1 / sqrt(variance).
        scale = variance > kMinScaleSpread && covariance > 0 ? covariance / variance : 1.0;
        for (int k = 0; k < 3; ++k) offset[k] = weight[k] > 0 ? (sumG[k] - scale * sumC[k]) / weight[k] : 0.0;
        for (size_t i = 0; i < samples.size(); ++i) {
            const Sample& p = samples[i];
            double r2 = 0.0;
            for (int k = 0; k < 3; ++k) {
                const double r = (scale * p.centre[k] + offset[k] - p.gps[k]) / p.sigma[k];
                r2 += r * r;
            }
            robust[i] = 1.0 / (1.0 + r2 / (kGpsLossSigmas * kGpsLossSigmas));
        }
    }
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
    bool ok = false;
    const sfm::FrontEndSettings settings = sfm::FrontEndSettings::fromConfig(config, &ok);
    if (!ok) {
        FW_LOG(Error) << "Front end configuration is not a JSON object: " << config;
        return nullptr;
    }
    return std::make_shared<sfm::FrontEnd>(settings, owner);
}
