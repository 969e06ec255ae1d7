#include "sfm/batch_front_end.h"

#include "front_end_internal.h"

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

namespace {

// A pixel's undistorted ray (on the plane z = 1) through a camera.
std::vector<cv::Point2f> raysOf(const BlockCamera& c, const std::vector<cv::Point2f>& pixels) {
    std::vector<cv::Point2f> rays;
    if (pixels.empty()) return rays;
    const cv::Matx33d K(c.values[0], 0, c.values[1], 0, c.values[0] * c.aspect, c.values[2], 0, 0, 1);
    const std::vector<double> distortion{c.values[3], c.values[4], c.p1, c.p2, c.k3};
    cv::undistortPoints(pixels, rays, cv::Mat(K), distortion, cv::noArray(), cv::noArray(),
                        cv::TermCriteria(cv::TermCriteria::COUNT, 20, 0.0));
    return rays;
}

// How far a camera's pixels move (own pixels, the most over the picture's
// border and middle) between the recorded and the refined intrinsics.
double shiftOf(const BlockCamera& refined) {
    BlockCamera recorded = refined;
    std::copy(refined.prior, refined.prior + 5, recorded.values);
    std::vector<cv::Point2f> pixels;
    for (int i = 0; i <= 4; ++i)
        for (int j = 0; j <= 4; ++j)
            pixels.emplace_back(static_cast<float>(refined.width * i / 4.0), static_cast<float>(refined.height * j / 4.0));
    const std::vector<cv::Point2f> rays = raysOf(recorded, pixels);
    BlockFrame at;
    double most = 0.0;
    for (size_t k = 0; k < pixels.size(); ++k) {
        cv::Point2d moved;
        if (projectPoint(refined, at, cv::Vec3d(rays[k].x, rays[k].y, 1.0), moved))
            most = std::max(most, cv::norm(moved - cv::Point2d(pixels[k])));
    }
    return most;
}

// Rays moved by less than this (processing pixels) leave the matches as they are.
constexpr double kMatchAgainPixels = 0.5;

}  // namespace

bool BatchFrontEnd::trackFrame(const std::shared_ptr<fw::MapFrame>& input) {
    Frame* previous = nullptr;
    const bool added = addFrame(input, previous) != nullptr;
    if (added) advanceProgress();
    return added;
}

void BatchFrontEnd::finish() {
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
    // held at the record's, with the principal point, unless the
    // adjusted points show relief, and then freed from there (the focal
    // length only where the relief is larger still).
    constexpr int kHeldOverFlatGround[] = {0, 1, 2, 3, 4};
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
        const bool lens = relief >= kReliefForLens, focal = relief >= kReliefForFocalLength;
        FW_LOG(Info) << "Camera " << k << ": relief " << relief * 100 << " % of the depth: "
                     << (focal ? "focal length and radial terms refined."
                               : lens ? "radial terms refined, focal length kept as recorded."
                                      : "focal length and radial terms kept as recorded.");
        if (lens) {
            for (bool& h : cameras_[k].hold) h = false;
            cameras_[k].hold[0] = !focal;
            freed = true;
        }
    }
    if (freed) adjust(block, Adjustment::Whole, true);
    if (freed && matchAgain()) adjust(block, Adjustment::Whole, true);
    for (BlockCamera& c : cameras_)
        for (bool& h : c.hold) h = false;

    auto map = std::make_shared<fw::Map>();
    for (Frame* f : block) map->addFrame(handOn(*f));
    frames_.clear();
    if (owner_) owner_->handle(zel::events::kMapLocated, map);
}

double BatchFrontEnd::reliefOf(int camera) const {
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

bool BatchFrontEnd::matchAgain() {
    bool moved = false;
    for (auto& [i, f] : frames_) {
        const BlockCamera& c = cameras_[static_cast<size_t>(f->block.camera)];
        if (c.refine && shiftOf(c) * f->features.scale > kMatchAgainPixels) moved = true;
    }
    if (!moved) return false;
    for (auto& [i, f] : frames_) {
        f->features.rays = raysOf(cameras_[static_cast<size_t>(f->block.camera)], f->features.pixels);
        buildIndex(f->features);
    }
    std::vector<std::pair<int, int>> pairs;
    for (const auto& [ab, m] : pairs_) pairs.push_back(ab);
    std::vector<PairMatch> found(pairs.size());
    std::vector<uchar> ok(pairs.size(), 0);
    cv::parallel_for_(cv::Range(0, static_cast<int>(pairs.size())), [&](const cv::Range& r) {
        for (int k = r.start; k < r.end; ++k) {
            const auto& [a, b] = pairs[static_cast<size_t>(k)];
            ok[static_cast<size_t>(k)] = pairOf(*frames_.at(b), *frames_.at(a), found[static_cast<size_t>(k)]) ? 1 : 0;
        }
    });
    tracks_ = FeatureTracks();
    pairs_.clear();
    size_t matched = 0;
    for (size_t k = 0; k < pairs.size(); ++k) {
        if (!ok[k]) continue;
        joinPair(*frames_.at(pairs[k].second), *frames_.at(pairs[k].first), found[k]);
        ++matched;
    }
    FW_LOG(Info) << "Pairs matched again on the refined intrinsics' rays: " << matched << " of " << pairs.size() << ".";
    return true;
}

void BatchFrontEnd::initialRotations() {
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

void BatchFrontEnd::checkRecordedHeadings() {
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

void BatchFrontEnd::checkRecordedPositions() {
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

void BatchFrontEnd::matchAcrossStrips() {
    // Height over the ground from the points of the neighbour pairs.
    const double depth = medianTrackDepth();
    if (depth <= 0.0) return;
    for (auto& [i, frame] : frames_) {
        const BlockCamera& c = cameras_[static_cast<size_t>(frame->block.camera)];
        const double footprint = depth * std::max(c.width, c.height) / c.values[0];
        int partners = 0, tries = 0;
        for (const auto& [distance, other] : framesBeside(*frame, footprint)) {
            if (partners >= settings_.crossStripPartners || tries++ > settings_.crossStripPartners) break;
            if (matchWith(*frame, *other)) ++partners;
        }
    }
}

}  // namespace sfm
