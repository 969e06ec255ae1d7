#include "sfm/live_front_end.h"

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

bool LiveFrontEnd::trackFrame(const std::shared_ptr<fw::MapFrame>& input) {
    Frame* previous = nullptr;
    Frame* added = addFrame(input, previous);
    if (!added) return false;
    Frame& frame = *added;
    const int index = frame.index;
    matchAcrossStrips(frame);
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
    advanceProgress();
    return true;
}

void LiveFrontEnd::matchAcrossStrips(Frame& frame) {
    // Frames of the window beside this one on another strip (by the GPS,
    // within most of a footprint), as a file dataset's are: strips matched
    // only along themselves each take their own depth.
    if (!frame.hasGps || settings_.crossStripPartners <= 0) return;
    const double depth = medianTrackDepth();
    if (depth <= 0.0) return;
    const BlockCamera& c = cameras_[static_cast<size_t>(frame.block.camera)];
    // The window's depths in its own frame; the GPS in metres.
    const double footprint = liveScale_ * depth * std::max(c.width, c.height) / c.values[0];
    std::vector<std::pair<double, Frame*>> near = framesBeside(frame, footprint);
    near.erase(std::remove_if(near.begin(), near.end(), [](const auto& n) { return !n.second->hasGps; }), near.end());
    near.resize(std::min(near.size(), static_cast<size_t>(settings_.crossStripPartners + 1)));
    std::vector<PairMatch> found(near.size());
    std::vector<uchar> ok(near.size(), 0);
    cv::parallel_for_(cv::Range(0, static_cast<int>(near.size())), [&](const cv::Range& r) {
        for (int k = r.start; k < r.end; ++k) {
            const size_t i = static_cast<size_t>(k);
            ok[i] = pairOf(frame, *near[i].second, found[i]) ? 1 : 0;
        }
    });
    int partners = 0;
    for (size_t k = 0; k < near.size() && partners < settings_.crossStripPartners; ++k)
        if (ok[k]) {
            joinPair(frame, *near[k].second, found[k]);
            ++partners;
        }
}

void LiveFrontEnd::settle(Frame& f) {
    f.settled = true;
    gpsFit_.add(f.block.centre, f.block.gps, f.block.gpsSigma);
    gpsFit_.solve(liveScale_, liveOffset_);
}

void LiveFrontEnd::release() {
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

void LiveFrontEnd::handOnSettled() {
    for (auto& [i, f] : frames_) {
        if (!f->settled || f->published) continue;
        std::shared_ptr<fw::MapFrame> out = handOn(*f);
        if (owner_) owner_->handle(zel::events::kFrameLocated, out);
    }
}

void LiveFrontEnd::finish() {
    if (!frames_.empty()) {
        Frame& last = *frames_.rbegin()->second;
        if (!last.settled) settle(last);
        if (released_)
            handOnSettled();
        else
            release();
    }
    frames_.clear();
}

cv::Vec3d LiveFrontEnd::handedOnCentre(const Frame& f, double& scale) {
    // The step from the last frame handed on at the scale that all GPS
    // settled so far give; the window's own scale is that of the held frames.
    scale = liveScale_;
    const cv::Vec3d local =
        haveLast_ ? lastHandedOn_ + scale * (f.block.centre - lastCentre_) : scale * f.block.centre + liveOffset_;
    haveLast_ = true;
    lastCentre_ = f.block.centre;
    lastHandedOn_ = local;
    return local;
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

}  // namespace sfm
