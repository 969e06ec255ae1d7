#include "survey/relief_scene.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace survey {
namespace {

constexpr double kDegree = 3.141592653589793 / 180.0;

// Footprints, rotations and heights above the ground at the centre.
struct BuildingPlan {
    double east, north, length, width, rotation, height;
};
const BuildingPlan kBuildings[] = {
    {32, -12, 14, 9, 0, 8},    {8, 30, 11, 16, 25, 11},   {-38, -22, 13, 8, -15, 6},
    {55, 30, 7, 7, 40, 15},    {-85, 45, 12, 10, 10, 9},  {95, -40, 16, 10, -30, 7},
    {-100, -50, 9, 9, 0, 12},
};

struct TargetPlan {
    const char* name;
    double east, north;
};
const TargetPlan kTargets[] = {
    {"centre", 0, 0},       {"hilltop", -30, 22},     {"embankment", 20, -45}, {"roof_a", 32, -12},
    {"roof_b", 8, 30},      {"west", -55, 10},        {"north_east", 40, 50},  {"south_west", -20, -58},
    {"far_east", 100, 0},   {"far_west", -100, 20},   {"far_north", 0, 72},
};

// Sunlight from the south-west, 60 degrees above the horizon.
const cv::Vec3d kSun = cv::normalize(cv::Vec3d(-0.35, -0.35, 1.2247));

double shadeOf(const cv::Vec3d& normal) { return 0.35 + 0.65 * std::max(0.0, normal.dot(kSun)); }

// Repeatable noise in [0, 1) of two integers.
double hashNoise(int64_t a, int64_t b) {
    uint64_t h = static_cast<uint64_t>(a) * 0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(b) + 0x632BE59BD9B4E019ull);
    h ^= h >> 31;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 27;
    return static_cast<double>(h >> 11) / 9007199254740992.0;
}

// Bricks and windows of a wall; s runs along the wall, depth down from the roof.
cv::Vec3d wallColour(double s, double depth, double shade, int building) {
    const double floorPos = std::fmod(depth, 3.0);
    const double bay = std::fmod(s + 100.0, 2.5);
    if (floorPos > 0.8 && floorPos < 2.0 && bay > 0.7 && bay < 1.8) return cv::Vec3d(95, 75, 60) * shade;
    const double grain = 0.85 + 0.15 * hashNoise(static_cast<int64_t>(std::floor(s / 0.12)) + 7919 * building,
                                                 static_cast<int64_t>(std::floor(depth / 0.12)));
    const double mortar = std::fmod(depth, 0.35) < 0.05 ? 0.7 : 1.0;
    const cv::Vec3d base = building % 2 ? cv::Vec3d(150, 185, 210) : cv::Vec3d(175, 175, 168);
    return base * (shade * grain * mortar);
}

// A uniform random field of the given grid, smoothed up to the full size.
cv::Mat field(cv::RNG& rng, cv::Size size, int step, int channels, int interpolation) {
    cv::Mat coarse(size.height / step + 3, size.width / step + 3, CV_32FC(channels));
    rng.fill(coarse, cv::RNG::UNIFORM, 0.0, 1.0);
    cv::Mat out;
    cv::resize(coarse, out, cv::Size(coarse.cols * step, coarse.rows * step), 0, 0, interpolation);
    return out(cv::Rect(step, step, size.width, size.height)).clone();
}

}  // namespace

double ReliefScene::terrainAt(double east, double north) {
    double h = 30.0 + 0.03 * east - 0.015 * north;                                                   // tilt
    h += 9.0 * std::exp(-((east + 30) * (east + 30) + (north - 22) * (north - 22)) / (2 * 16.0 * 16.0));  // hill
    h += 2.0 * (1.0 + std::tanh((-north - 42.0) / 7.0));                                             // embankment
    h += 0.4 * std::sin(east / 9.0) * std::cos(north / 11.0);                                        // undulation
    return h;
}

bool ReliefScene::inside(const Building& b, double east, double north) const {
    const double c = std::cos(b.rotation * kDegree), s = std::sin(b.rotation * kDegree);
    const double de = east - b.east, dn = north - b.north;
    return std::abs(c * de + s * dn) <= b.length / 2 && std::abs(-s * de + c * dn) <= b.width / 2;
}

ReliefScene::ReliefScene(double eastMin, double northMin, double eastMax, double northMax, double cell,
                         uint64_t seed, bool flat)
    : eastMin_(eastMin), northMax_(northMax), cell_(cell) {
    const auto groundAt = [flat](double east, double north) { return flat ? takeoffHeight() : terrainAt(east, north); };
    const int cols = static_cast<int>(std::lround((eastMax - eastMin) / cell));
    const int rows = static_cast<int>(std::lround((northMax - northMin) / cell));
    const cv::Size size(cols, rows);

    terrain_.create(size, CV_64FC1);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            terrain_.at<double>(r, c) = groundAt(eastMin + (c + 0.5) * cell, northMax - (r + 0.5) * cell);
    cv::minMaxLoc(terrain_, &terrainMin_, &terrainMax_);
    terrain_.convertTo(height_, CV_32FC1);

    // Buildings whose footprint lies on the grid, a metre clear of its edge.
    for (const BuildingPlan& p : kBuildings) {
        if (flat) break;
        const double reach = std::hypot(p.length, p.width) / 2 + 1.0;
        if (p.east - reach < eastMin || p.east + reach > eastMax || p.north - reach < northMin ||
            p.north + reach > northMax)
            continue;
        buildings_.push_back({p.east, p.north, p.length, p.width, p.rotation, terrainAt(p.east, p.north) + p.height});
    }

    // Ground colour: grass and soil patches, blobs of about a metre, fine grain.
    cv::RNG rng(seed);
    const cv::Mat patches = field(rng, size, 300, 1, cv::INTER_CUBIC);
    const cv::Mat blobs = field(rng, size, 8, 1, cv::INTER_CUBIC);
    const cv::Mat grain = field(rng, size, 3, 1, cv::INTER_LINEAR);
    const cv::Mat roofGrain = field(rng, size, 2, 1, cv::INTER_LINEAR);
    const cv::Vec3d grass(60, 135, 95), soil(80, 120, 160);
    cv::Mat colour(size, CV_64FC3);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const double mix = std::clamp((patches.at<float>(r, c) - 0.3) * 2.5, 0.0, 1.0);
            const double light = 0.45 + 0.75 * blobs.at<float>(r, c) + 0.3 * grain.at<float>(r, c);
            colour.at<cv::Vec3d>(r, c) = (grass * (1 - mix) + soil * mix) * light;
        }
    // A road running east with a dashed centre line.
    for (int r = 0; r < rows; ++r) {
        const double n = northMax - (r + 0.5) * cell;
        if (n < 3.0 || n > 7.0) continue;
        for (int c = 0; c < cols; ++c) {
            const double e = eastMin + (c + 0.5) * cell;
            const bool dash = std::abs(n - 5.0) < 0.1 && std::fmod(e + 1000.0, 6.0) < 3.0;
            colour.at<cv::Vec3d>(r, c) = dash ? cv::Vec3d(235, 235, 235)
                                              : cv::Vec3d(115, 118, 120) * (0.8 + 0.4 * grain.at<float>(r, c));
        }
    }
    // Sunlight on the terrain's slopes.
    for (int r = 1; r + 1 < rows; ++r)
        for (int c = 1; c + 1 < cols; ++c) {
            const double gx = (terrain_.at<double>(r, c + 1) - terrain_.at<double>(r, c - 1)) / (2 * cell);
            const double gy = (terrain_.at<double>(r - 1, c) - terrain_.at<double>(r + 1, c)) / (2 * cell);
            colour.at<cv::Vec3d>(r, c) *= shadeOf(cv::normalize(cv::Vec3d(-gx, -gy, 1.0))) / shadeOf({0, 0, 1});
        }
    // Roofs: their height and their own colour.
    roofs_ = cv::Mat::zeros(size, CV_8UC1);
    const cv::Vec3d roofColours[] = {{70, 80, 170}, {120, 120, 125}, {60, 100, 140}, {150, 140, 110}};
    for (size_t i = 0; i < buildings_.size(); ++i) {
        const Building& b = buildings_[i];
        const double reach = std::hypot(b.length, b.width) / 2;
        const cv::Point2d lo = gridAt(b.east - reach, b.north + reach), hi = gridAt(b.east + reach, b.north - reach);
        for (int r = std::max(0, static_cast<int>(lo.y)); r <= std::min(rows - 1, static_cast<int>(hi.y) + 1); ++r)
            for (int c = std::max(0, static_cast<int>(lo.x)); c <= std::min(cols - 1, static_cast<int>(hi.x) + 1); ++c) {
                if (!inside(b, eastMin + (c + 0.5) * cell, northMax - (r + 0.5) * cell)) continue;
                roofs_.at<uint8_t>(r, c) = 255;
                height_.at<float>(r, c) = static_cast<float>(b.roof);
                const double g = 0.7 + 0.3 * roofGrain.at<float>(r, c) + 0.2 * (blobs.at<float>(r, c) - 0.5);
                colour.at<cv::Vec3d>(r, c) = roofColours[i % 4] * g;
            }
    }
    // Targets: four squares of a metre, black where east and north have the same sign.
    for (const TargetPlan& t : kTargets) {
        const cv::Point2d at = gridAt(t.east, t.north);
        if (at.x < 20 || at.y < 20 || at.x > cols - 21 || at.y > rows - 21) continue;
        const int half = static_cast<int>(std::lround(1.0 / cell));
        const int c0 = static_cast<int>(std::lround(at.x + 0.5)), r0 = static_cast<int>(std::lround(at.y + 0.5));
        for (int r = r0 - half; r < r0 + half; ++r)
            for (int c = c0 - half; c < c0 + half; ++c) {
                const bool black = (c >= c0) == (r < r0);
                colour.at<cv::Vec3d>(r, c) = black ? cv::Vec3d(20, 20, 20) : cv::Vec3d(240, 240, 240);
            }
        double up = groundAt(t.east, t.north);
        for (const Building& b : buildings_)
            if (inside(b, t.east, t.north)) up = b.roof;
        targets_.push_back({t.name, t.east, t.north, up});
    }
    colour.convertTo(colour_, CV_8UC3);
}

bool ReliefScene::terrain(double east, double north, double& h, double& dhde, double& dhdn) const {
    const double u = (east - eastMin_) / cell_ - 0.5, v = (northMax_ - north) / cell_ - 0.5;
    if (!(u >= 0.0 && v >= 0.0 && u <= terrain_.cols - 1.0 && v <= terrain_.rows - 1.0)) return false;
    const int c = std::min(static_cast<int>(u), terrain_.cols - 2), r = std::min(static_cast<int>(v), terrain_.rows - 2);
    const double fu = u - c, fv = v - r;
    const double* top = terrain_.ptr<double>(r) + c;
    const double* bottom = terrain_.ptr<double>(r + 1) + c;
    const double h00 = top[0], h10 = top[1], h01 = bottom[0], h11 = bottom[1];
    h = (h00 * (1 - fu) + h10 * fu) * (1 - fv) + (h01 * (1 - fu) + h11 * fu) * fv;
    dhde = ((h10 - h00) * (1 - fv) + (h11 - h01) * fv) / cell_;
    dhdn = -((h01 - h00) * (1 - fu) + (h11 - h10) * fu) / cell_;
    return true;
}

cv::Mat ReliefScene::render(const cv::Matx33d& K, const cv::Matx33d& R, const cv::Vec3d& C, cv::Size size,
                            int64_t* missed, double k1) const {
    const cv::Matx33d toLocal = R * K.inv(), Kinv = K.inv();
    // The undistorted normalised position of a pixel: x (1 + k1 |x|^2) = xd,
    // solved by fixed-point steps (a few for |k1 r^2| well below 1).
    auto rayOf = [&](int x, int y) {
        const cv::Vec3d n = Kinv * cv::Vec3d(x, y, 1.0);
        double u = n[0], v = n[1];
        if (k1 != 0.0)
            for (int i = 0; i < 20; ++i) {
                const double radial = 1.0 + k1 * (u * u + v * v);
                u = n[0] / radial;
                v = n[1] / radial;
            }
        return R * cv::Vec3d(u, v, 1.0);
    };
    cv::Mat mapX(size, CV_32FC1), mapY(size, CV_32FC1);
    cv::Mat walls(size, CV_8UC3, cv::Scalar::all(0)), isWall(size, CV_8UC1, cv::Scalar(0));
    struct Box {
        double c, s;
        const Building* b;
    };
    std::vector<Box> boxes;
    for (const Building& b : buildings_) boxes.push_back({std::cos(b.rotation * kDegree), std::sin(b.rotation * kDegree), &b});
    std::atomic<int64_t> off{0};

    // Rows in parallel: every pixel is computed on its own, so the result
    // does not depend on the split.
    cv::parallel_for_(cv::Range(0, size.height), [&](const cv::Range& range) {
    int64_t rangeOff = 0;
    for (int y = range.start; y < range.end; ++y)
        for (int x = 0; x < size.width; ++x) {
            const cv::Vec3d d = k1 != 0.0 ? rayOf(x, y) : toLocal * cv::Vec3d(x, y, 1.0);
            if (!(d[2] < 0.0)) {  // a ray that does not come down misses the ground
                ++rangeOff;
                mapX.at<float>(y, x) = mapY.at<float>(y, x) = -1.0f;
                continue;
            }
            // The terrain: Newton's method kept inside the bracket between the
            // terrain's highest and lowest samples.
            double lo = (C[2] - terrainMax_) / -d[2], hi = (C[2] - terrainMin_) / -d[2];
            double t = (lo + hi) / 2;
            bool onGrid = true;
            for (int i = 0; i < 60; ++i) {
                double h, gx, gy;
                if (!terrain(C[0] + t * d[0], C[1] + t * d[1], h, gx, gy)) {
                    onGrid = false;
                    break;
                }
                const double g = C[2] + t * d[2] - h;
                if (std::abs(g) < 1e-7) break;
                (g > 0 ? lo : hi) = t;
                const double slope = d[2] - gx * d[0] - gy * d[1];
                double next = t - g / slope;
                if (!(next > lo && next < hi)) next = (lo + hi) / 2;
                t = next;
            }
            // The nearest building face in front of the terrain.
            int face = -1;
            const Box* hitBox = nullptr;
            for (const Box& box : boxes) {
                const Building& b = *box.b;
                const double pe = C[0] - b.east, pn = C[1] - b.north;
                const double o[3] = {box.c * pe + box.s * pn, -box.s * pe + box.c * pn, C[2] - (b.roof - 50.0)};
                const double v[3] = {box.c * d[0] + box.s * d[1], -box.s * d[0] + box.c * d[1], d[2]};
                const double half[3] = {b.length / 2, b.width / 2, 25.0};
                const double mid[3] = {0.0, 0.0, 25.0};
                double enter = 0.0, leave = t;
                int axis = -1;
                for (int k = 0; k < 3 && enter <= leave; ++k) {
                    if (v[k] == 0.0) {
                        if (std::abs(o[k] - mid[k]) > half[k]) enter = leave + 1;
                        continue;
                    }
                    double t0 = (mid[k] - half[k] - o[k]) / v[k], t1 = (mid[k] + half[k] - o[k]) / v[k];
                    if (t0 > t1) std::swap(t0, t1);
                    if (t0 > enter) {
                        enter = t0;
                        axis = k;
                    }
                    leave = std::min(leave, t1);
                }
                if (axis >= 0 && enter <= leave && enter < t) {
                    t = enter;
                    face = axis;
                    hitBox = &box;
                }
            }
            if (!onGrid) ++rangeOff;
            const double e = C[0] + t * d[0], n = C[1] + t * d[1], z = C[2] + t * d[2];
            if (face == 0 || face == 1) {
                const Building& b = *hitBox->b;
                const double pe = e - b.east, pn = n - b.north;
                const double along = face == 0 ? -hitBox->s * pe + hitBox->c * pn : hitBox->c * pe + hitBox->s * pn;
                const double sideSign = face == 0 ? (hitBox->c * pe + hitBox->s * pn > 0 ? 1 : -1)
                                                  : (-hitBox->s * pe + hitBox->c * pn > 0 ? 1 : -1);
                const cv::Vec3d normal = face == 0 ? cv::Vec3d(hitBox->c, hitBox->s, 0) * sideSign
                                                   : cv::Vec3d(-hitBox->s, hitBox->c, 0) * sideSign;
                const int index = static_cast<int>(hitBox->b - buildings_.data());
                const cv::Vec3d c = wallColour(along, b.roof - z, shadeOf(normal), index);
                walls.at<cv::Vec3b>(y, x) = cv::Vec3b(cv::saturate_cast<uint8_t>(c[0]), cv::saturate_cast<uint8_t>(c[1]),
                                                      cv::saturate_cast<uint8_t>(c[2]));
                isWall.at<uint8_t>(y, x) = 255;
            }
            const cv::Point2d g = gridAt(e, n);
            mapX.at<float>(y, x) = static_cast<float>(g.x);
            mapY.at<float>(y, x) = static_cast<float>(g.y);
        }
    off += rangeOff;
    });
    if (missed) *missed = off;
    cv::Mat out;
    cv::remap(colour_, out, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    walls.copyTo(out, isWall);
    return out;
}

}  // namespace survey
