#include "sfm/block_adjuster.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include <ceres/ceres.h>
#include <ceres/rotation.h>
#include <opencv2/calib3d.hpp>

namespace sfm {
namespace {

// A GPS position this many standard deviations off the images' block
// counts less and less: one wrong fix does not bend the block.
constexpr double kGpsLossSigmas = 3.0;

// Distorted pixel of a camera-frame point, with the camera's refined part in intrinsics.
template <typename T>
void distortedPixel(const T* intrinsics, double aspect, double p1, double p2, double k3, const T* pc, T* uv) {
    const T x = pc[0] / pc[2], y = pc[1] / pc[2];
    const T r2 = x * x + y * y;
    const T radial = T(1.0) + intrinsics[3] * r2 + intrinsics[4] * r2 * r2 + T(k3) * r2 * r2 * r2;
    const T xd = x * radial + T(2.0 * p1) * x * y + T(p2) * (r2 + T(2.0) * x * x);
    const T yd = y * radial + T(p1) * (r2 + T(2.0) * y * y) + T(2.0 * p2) * x * y;
    uv[0] = intrinsics[0] * xd + intrinsics[1];
    uv[1] = intrinsics[0] * T(aspect) * yd + intrinsics[2];
}

struct ReprojectionCost {
    ReprojectionCost(const cv::Point2d& observed, double scale, const BlockCamera& camera)
        : u(observed.x), v(observed.y), scale(scale), aspect(camera.aspect), p1(camera.p1), p2(camera.p2), k3(camera.k3) {}

    template <typename T>
    bool operator()(const T* rotation, const T* centre, const T* point, const T* intrinsics, T* residual) const {
        const T p[3] = {point[0] - centre[0], point[1] - centre[1], point[2] - centre[2]};
        T pc[3];
        ceres::AngleAxisRotatePoint(rotation, p, pc);
        if (!(pc[2] > T(1e-6))) return false;
        T uv[2];
        distortedPixel(intrinsics, aspect, p1, p2, k3, pc, uv);
        residual[0] = (uv[0] - T(u)) * T(scale);
        residual[1] = (uv[1] - T(v)) * T(scale);
        return true;
    }

    double u, v, scale, aspect, p1, p2, k3;
};

struct PositionPrior {
    PositionPrior(const cv::Vec3d& gps, const cv::Vec3d& sigma) : gps(gps), sigma(sigma) {}
    template <typename T>
    bool operator()(const T* centre, T* residual) const {
        for (int k = 0; k < 3; ++k) residual[k] = (centre[k] - T(gps[k])) / T(sigma[k]);
        return true;
    }
    cv::Vec3d gps, sigma;
};

struct StepPrior {
    StepPrior(const cv::Vec3d& step, const cv::Vec3d& sigma) : step(step), sigma(sigma) {}
    template <typename T>
    bool operator()(const T* centre, const T* previous, T* residual) const {
        for (int k = 0; k < 3; ++k) residual[k] = (centre[k] - previous[k] - T(step[k])) / T(sigma[k]);
        return true;
    }
    cv::Vec3d step, sigma;
};

struct AttitudePrior {
    AttitudePrior(const cv::Vec3d& attitude, double sigma) : sigma(sigma) {
        const double aa[3] = {attitude[0], attitude[1], attitude[2]};
        double q[4];
        ceres::AngleAxisToQuaternion(aa, q);
        inverse[0] = q[0];
        inverse[1] = -q[1];
        inverse[2] = -q[2];
        inverse[3] = -q[3];
    }
    template <typename T>
    bool operator()(const T* rotation, T* residual) const {
        T q[4], difference[4];
        ceres::AngleAxisToQuaternion(rotation, q);
        const T prior[4] = {T(inverse[0]), T(inverse[1]), T(inverse[2]), T(inverse[3])};
        ceres::QuaternionProduct(q, prior, difference);
        ceres::QuaternionToAngleAxis(difference, residual);
        for (int k = 0; k < 3; ++k) residual[k] /= T(sigma);
        return true;
    }
    double inverse[4];
    double sigma;
};

// The viewing direction (the camera's z axis in the world) of a rotation.
struct ViewPrior {
    ViewPrior(const cv::Vec3d& attitude, double sigma) : sigma(sigma) {
        cv::Matx33d R;
        cv::Rodrigues(attitude, R);
        for (int k = 0; k < 3; ++k) view[k] = R(2, k);
    }
    template <typename T>
    bool operator()(const T* rotation, T* residual) const {
        const T inverse[3] = {-rotation[0], -rotation[1], -rotation[2]};
        const T z[3] = {T(0.0), T(0.0), T(1.0)};
        T v[3];
        ceres::AngleAxisRotatePoint(inverse, z, v);
        for (int k = 0; k < 3; ++k) residual[k] = (v[k] - T(view[k])) / T(sigma);
        return true;
    }
    double view[3];
    double sigma;
};

struct IntrinsicsPrior {
    explicit IntrinsicsPrior(const BlockCamera& camera) {
        for (int k = 0; k < 5; ++k) prior[k] = camera.prior[k];
        // The intrinsics are refined only where the points show relief (over
        // flat ground seen straight down they are held): the focal length
        // may then move by several per cent, the principal point by a per
        // cent of the picture, the radial terms as far as a lens bends
        // (k1 of a few hundredths).
        sigma[0] = 0.05 * camera.prior[0];
        sigma[1] = sigma[2] = 0.01 * std::max(camera.width, camera.height);
        sigma[3] = 0.1;
        sigma[4] = 0.05;
    }
    template <typename T>
    bool operator()(const T* values, T* residual) const {
        for (int k = 0; k < 5; ++k) residual[k] = (values[k] - T(prior[k])) / T(sigma[k]);
        return true;
    }
    double prior[5], sigma[5];
};

struct Residual {
    size_t track, observation;
    ceres::ResidualBlockId id;
};

double observationError(const std::vector<BlockFrame>& frames, const std::vector<BlockCamera>& cameras,
                        const BlockTrack& track, const BlockObservation& o) {
    const BlockFrame& f = frames[static_cast<size_t>(o.frame)];
    cv::Point2d pixel;
    if (!projectPoint(cameras[static_cast<size_t>(f.camera)], f, track.point, pixel)) return 1e9;
    return cv::norm(pixel - o.pixel) * f.pixelScale;
}

// Observations beyond limit go; a track with fewer than two left is no longer used.
void dropOutliers(const std::vector<BlockFrame>& frames, const std::vector<BlockCamera>& cameras,
                  std::vector<BlockTrack>& tracks, double limit) {
    for (BlockTrack& t : tracks) {
        if (!t.valid) continue;
        auto& obs = t.observations;
        obs.erase(std::remove_if(obs.begin(), obs.end(),
                                 [&](const BlockObservation& o) { return observationError(frames, cameras, t, o) > limit; }),
                  obs.end());
        if (obs.size() < 2) t.valid = false;
    }
}

bool solve(std::vector<BlockFrame>& frames, std::vector<BlockCamera>& cameras, std::vector<BlockTrack>& tracks,
           double huber, int iterations, int threads, int& usedIterations) {
    ceres::Problem problem;
    std::vector<bool> used(frames.size(), false);
    std::vector<bool> cameraUsed(cameras.size(), false);
    int residuals = 0;
    for (BlockTrack& t : tracks) {
        if (!t.valid || t.observations.size() < 2) continue;
        for (const BlockObservation& o : t.observations) {
            BlockFrame& f = frames[static_cast<size_t>(o.frame)];
            BlockCamera& c = cameras[static_cast<size_t>(f.camera)];
            // A point behind the camera at the start would fail the first evaluation.
            cv::Point2d pixel;
            if (!projectPoint(c, f, t.point, pixel)) continue;
            auto* cost = new ceres::AutoDiffCostFunction<ReprojectionCost, 2, 3, 3, 3, 5>(
                new ReprojectionCost(o.pixel, f.pixelScale, c));
            problem.AddResidualBlock(cost, new ceres::HuberLoss(huber), f.rotation.val, f.centre.val, t.point.val, c.values);
            used[static_cast<size_t>(o.frame)] = true;
            cameraUsed[static_cast<size_t>(f.camera)] = true;
            ++residuals;
        }
    }
    if (residuals == 0) return false;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (!used[i]) continue;
        BlockFrame& f = frames[i];
        if (f.fixed) {
            problem.SetParameterBlockConstant(f.rotation.val);
            problem.SetParameterBlockConstant(f.centre.val);
            continue;
        }
        if (f.gpsSigma[0] > 0 && f.gpsSigma[1] > 0 && f.gpsSigma[2] > 0)
            problem.AddResidualBlock(new ceres::AutoDiffCostFunction<PositionPrior, 3, 3>(new PositionPrior(f.gps, f.gpsSigma)),
                                     new ceres::CauchyLoss(kGpsLossSigmas), f.centre.val);
        if (f.previous >= 0 && static_cast<size_t>(f.previous) < frames.size() && used[static_cast<size_t>(f.previous)] &&
            f.stepSigma[0] > 0 && f.stepSigma[1] > 0 && f.stepSigma[2] > 0)
            problem.AddResidualBlock(new ceres::AutoDiffCostFunction<StepPrior, 3, 3, 3>(new StepPrior(f.step, f.stepSigma)),
                                     nullptr, f.centre.val, frames[static_cast<size_t>(f.previous)].centre.val);
        if (f.attitudePrior && f.attitudeSigma > 0 && f.viewOnly)
            problem.AddResidualBlock(new ceres::AutoDiffCostFunction<ViewPrior, 3, 3>(new ViewPrior(f.attitude, f.attitudeSigma)),
                                     nullptr, f.rotation.val);
        else if (f.attitudePrior && f.attitudeSigma > 0)
            problem.AddResidualBlock(
                new ceres::AutoDiffCostFunction<AttitudePrior, 3, 3>(new AttitudePrior(f.attitude, f.attitudeSigma)), nullptr,
                f.rotation.val);
    }
    for (size_t k = 0; k < cameras.size(); ++k) {
        if (!cameraUsed[k]) continue;
        BlockCamera& c = cameras[k];
        if (!c.refine) {
            problem.SetParameterBlockConstant(c.values);
        } else {
            problem.AddResidualBlock(new ceres::AutoDiffCostFunction<IntrinsicsPrior, 5, 5>(new IntrinsicsPrior(c)), nullptr,
                                     c.values);
            std::vector<int> held;
            for (int i = 0; i < 5; ++i)
                if (c.hold[i]) held.push_back(i);
            if (held.size() == 5)
                problem.SetParameterBlockConstant(c.values);
            else if (!held.empty())
                problem.SetManifold(c.values, new ceres::SubsetManifold(5, held));
        }
    }

    ceres::Solver::Options options;
    options.linear_solver_type = ceres::IsSparseLinearAlgebraLibraryTypeAvailable(ceres::SUITE_SPARSE)
                                     ? ceres::SPARSE_SCHUR
                                     : ceres::DENSE_SCHUR;
    options.max_num_iterations = iterations;
    options.num_threads = std::max(1, threads);
    options.logging_type = ceres::SILENT;
    options.minimizer_progress_to_stdout = false;
    options.function_tolerance = 1e-10;
    options.parameter_tolerance = 1e-12;
    options.gradient_tolerance = 1e-14;
    ceres::Solver::Summary summary;
    ceres::Solve(options, &problem, &summary);
    usedIterations += static_cast<int>(summary.iterations.size());
    return summary.IsSolutionUsable();
}

}  // namespace

BlockCamera BlockCamera::fromParameters(const std::vector<double>& p, bool refine) {
    BlockCamera c;
    auto at = [&](size_t i) { return i < p.size() ? p[i] : 0.0; };
    c.width = at(0);
    c.height = at(1);
    c.values[0] = at(2);
    c.aspect = at(2) != 0.0 ? at(3) / at(2) : 1.0;
    c.values[1] = at(4);
    c.values[2] = at(5);
    c.values[3] = at(6);
    c.values[4] = at(7);
    c.p1 = at(8);
    c.p2 = at(9);
    c.k3 = at(10);
    c.refine = refine;
    std::copy(c.values, c.values + 5, c.prior);
    return c;
}

std::vector<double> BlockCamera::parameters() const {
    return {width, height, values[0], values[0] * aspect, values[1], values[2], values[3], values[4], p1, p2, k3};
}

cv::Matx33d BlockFrame::worldToCamera() const {
    cv::Matx33d R;
    cv::Rodrigues(rotation, R);
    return R;
}

void BlockFrame::setWorldToCamera(const cv::Matx33d& R) { cv::Rodrigues(R, rotation); }

bool projectPoint(const BlockCamera& camera, const BlockFrame& frame, const cv::Vec3d& point, cv::Point2d& pixel) {
    const double p[3] = {point[0] - frame.centre[0], point[1] - frame.centre[1], point[2] - frame.centre[2]};
    double pc[3];
    ceres::AngleAxisRotatePoint(frame.rotation.val, p, pc);
    if (!(pc[2] > 1e-6)) return false;
    double uv[2];
    distortedPixel(camera.values, camera.aspect, camera.p1, camera.p2, camera.k3, pc, uv);
    pixel = {uv[0], uv[1]};
    return true;
}

bool triangulateRays(const std::vector<BlockFrame>& frames, const std::vector<BlockObservation>& observations,
                     const std::vector<cv::Point2d>& rays, cv::Vec3d& point) {
    if (observations.size() < 2 || rays.size() != observations.size()) return false;
    cv::Matx33d A = cv::Matx33d::zeros();
    cv::Vec3d b(0, 0, 0);
    std::vector<cv::Vec3d> directions;
    for (size_t k = 0; k < observations.size(); ++k) {
        const BlockFrame& f = frames[static_cast<size_t>(observations[k].frame)];
        cv::Vec3d d = f.worldToCamera().t() * cv::Vec3d(rays[k].x, rays[k].y, 1.0);
        d /= cv::norm(d);
        directions.push_back(d);
        const cv::Matx33d P = cv::Matx33d::eye() - d * d.t();
        A += P;
        b += P * f.centre;
    }
    double widest = 0.0;
    for (size_t i = 0; i < directions.size(); ++i)
        for (size_t j = i + 1; j < directions.size(); ++j) widest = std::max(widest, cv::norm(directions[i].cross(directions[j])));
    if (widest < std::sin(0.5 * CV_PI / 180.0)) return false;
    if (std::abs(cv::determinant(A)) < 1e-12) return false;
    const cv::Vec3d X = A.solve(b, cv::DECOMP_CHOLESKY);
    for (size_t k = 0; k < observations.size(); ++k) {
        const BlockFrame& f = frames[static_cast<size_t>(observations[k].frame)];
        if ((X - f.centre).dot(directions[k]) <= 0.0) return false;
    }
    point = X;
    return true;
}

AdjustReport adjustBlock(std::vector<BlockFrame>& frames, std::vector<BlockCamera>& cameras, std::vector<BlockTrack>& tracks,
                         const AdjustSettings& s) {
    AdjustReport report;
    // Loose first: the recorded poses may be metres and degrees off.
    if (!solve(frames, cameras, tracks, 4.0 * s.huberPixels, s.maxIterations, s.threads, report.iterations)) return report;
    dropOutliers(frames, cameras, tracks, 4.0 * s.huberPixels);
    if (!solve(frames, cameras, tracks, s.huberPixels, s.maxIterations, s.threads, report.iterations)) return report;
    dropOutliers(frames, cameras, tracks, 2.0 * s.huberPixels);
    double sum = 0.0;
    for (const BlockTrack& t : tracks) {
        if (!t.valid) continue;
        for (const BlockObservation& o : t.observations) {
            const double e = observationError(frames, cameras, t, o);
            sum += e * e;
            ++report.observations;
        }
    }
    report.rmsPixels = report.observations > 0 ? std::sqrt(sum / report.observations) : 0.0;
    report.usable = report.observations > 0;
    return report;
}

}  // namespace sfm
