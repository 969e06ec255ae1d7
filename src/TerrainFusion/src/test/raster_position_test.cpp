// Where a frame's DOM raster puts the ground: a flat ground whose colour
// encodes its own east and north position, seen from exact poses in lossless
// frames, decoded back from every DOM pixel and compared with the position of
// that pixel's centre in web-mercator. The displacement, as means over 8 x 8
// pixel blocks, must neither grow across the raster nor be off on average.

#include "node_config.h"

#include "synthetic/box_scene.h"
#include "terrain/terrain_fusion.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr int kZoom = 20;
constexpr double kPeriod = 8.0;  // metres of one colour ramp

uint8_t ramp(double x) {
    const double f = x / kPeriod - std::floor(x / kPeriod);
    return static_cast<uint8_t>(std::min(255.0, std::floor(256.0 * f)));
}
// The decoded position minus the true one, into (-period / 2, period / 2].
double wrapped(double decoded, double truth) {
    double d = std::fmod(decoded - truth, kPeriod);
    if (d > kPeriod / 2) d -= kPeriod;
    if (d <= -kPeriod / 2) d += kPeriod;
    return d;
}

// Web-mercator global pixel (fractional) to latitude and longitude, degrees.
void pixelToLatLon(double px, double py, double& lat, double& lon) {
    const double size = 256.0 * std::ldexp(1.0, kZoom);
    lon = px / size * 360.0 - 180.0;
    lat = std::atan(std::sinh(M_PI * (1.0 - 2.0 * py / size))) * 180.0 / M_PI;
}
double tileRowNorthLatitude(double lat) {
    const double size = std::ldexp(1.0, kZoom);
    const double y = (1.0 - std::asinh(std::tan(lat * M_PI / 180.0)) / M_PI) / 2.0 * size;
    double north = 0.0, lon = 0.0;
    pixelToLatLon(0.0, std::floor(y) * 256.0, north, lon);
    return north;
}

// Least-squares slope of y over x.
double slope(const std::vector<double>& x, const std::vector<double>& y) {
    double mx = 0, my = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        mx += x[i];
        my += y[i];
    }
    mx /= x.size();
    my /= y.size();
    double sxy = 0, sxx = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        sxy += (x[i] - mx) * (y[i] - my);
        sxx += (x[i] - mx) * (x[i] - mx);
    }
    return sxy / sxx;
}

struct ProbeCase {
    const char* name;
    double lat, lon;
    // Metres from the footprint's north edge to the north edge of the tile row
    // it starts in: near that edge, or almost a whole tile row south of it.
    bool farFromRowEdge;
};

TEST(RasterPosition, GroundLandsAtItsPixelCentres) {
    const ProbeCase cases[] = {
        {"22.5 N, footprint near a row's north edge", 22.5, 113.9, false},
        {"22.5 N, footprint far from a row's north edge", 22.5, 113.9, true},
        {"60 N, footprint near a row's north edge", 60.0, 10.7, false},
        {"60 N, footprint far from a row's north edge", 60.0, 10.7, true},
    };
    for (const ProbeCase& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir("tf-position");
        synthetic::BoxScene scene = synthetic::BoxScene::at(c.lat, c.lon);
        scene.paint = [](double e, double n) { return cv::Vec3b(128, ramp(n), ramp(e)); };
        // The footprint's north edge (half the image's 60 m north of the
        // camera) 1 m south of a tile row's north edge, or 1 m north of it
        // (its raster then starts one row further north).
        const double edgeNorth = scene.local(tileRowNorthLatitude(c.lat), c.lon).y;
        const double halfFootprint = scene.altitude * (scene.height / 2.0) / scene.focal;
        const double n0 = edgeNorth - halfFootprint + (c.farFromRowEdge ? 1.0 : -1.0);
        const double e0 = 3.3;

        nlohmann::json cfg = tftest::config(dir.path());
        cfg["zoom_level"] = kZoom;
        cfg["fetch_gps"] = true;
        TerrainFusion node(cfg.dump(), nullptr);
        ASSERT_TRUE(node.setUpOk());
        auto frame = scene.frame(1, e0, n0, dir.file("frame.png"));
        ASSERT_TRUE(node.identifyZoom(frame, false));
        TerrainFusion::LocalDSMData record;
        ASSERT_TRUE(node.makeMap_idw(frame, record, scene.points(e0, n0)));

        // Local position of a DOM pixel's centre (fractional raster pixel).
        auto localOf = [&](double column, double row) {
            double lat = 0, lon = 0;
            pixelToLatLon(record.pixelOriginX + column, record.pixelOriginY + row, lat, lon);
            return scene.local(lat, lon);
        };
        const double rasterNorth = localOf(0.0, 0.0).y;
        const double pixelEast = localOf(1.5, 0.5).x - localOf(0.5, 0.5).x;
        const double pixelNorth = localOf(0.5, 0.5).y - localOf(0.5, 1.5).y;

        std::vector<double> south, east, dE, dN;
        for (int br = 0; br + 8 <= record.height; br += 8) {
            for (int bc = 0; bc + 8 <= record.width; bc += 8) {
                if (cv::countNonZero(record.weight(cv::Rect(bc, br, 8, 8))) < 64) continue;
                double sumE = 0, sumN = 0;
                for (int r = br; r < br + 8; ++r) {
                    for (int col = bc; col < bc + 8; ++col) {
                        const cv::Vec3b v = record.dom.at<cv::Vec3b>(r, col);
                        const pt::Point3d truth = localOf(col + 0.5, r + 0.5);
                        sumE += wrapped((v[2] + 0.5) * kPeriod / 256.0, truth.x);
                        sumN += wrapped((v[1] + 0.5) * kPeriod / 256.0, truth.y);
                    }
                }
                const pt::Point3d centre = localOf(bc + 4.0, br + 4.0);
                south.push_back(rasterNorth - centre.y);
                east.push_back(centre.x);
                dE.push_back(sumE / 64);
                dN.push_back(sumN / 64);
            }
        }
        ASSERT_GT(dN.size(), 500u);
        double meanE = 0, meanN = 0, nearest = 1e9, farthest = 0;
        for (size_t i = 0; i < dN.size(); ++i) {
            meanE += dE[i] / dN.size();
            meanN += dN[i] / dN.size();
            nearest = std::min(nearest, south[i]);
            farthest = std::max(farthest, south[i]);
        }
        const double northSlope = slope(south, dN), eastSlope = slope(south, dE);
        const double northByEast = slope(east, dN), eastByEast = slope(east, dE);
        std::printf("%s: %zu blocks %.1f to %.1f m south of the raster's edge; displacement per metre south: "
                    "north %.2e, east %.2e; per metre east: north %.2e, east %.2e; mean east %.3f px, north %.3f px\n",
                    c.name, dN.size(), nearest, farthest, northSlope, eastSlope, northByEast, eastByEast,
                    meanE / pixelEast, meanN / pixelNorth);
        EXPECT_LT(std::fabs(northSlope), 1e-4);
        EXPECT_LT(std::fabs(eastSlope), 1e-4);
        EXPECT_LT(std::fabs(northByEast), 1e-4);
        EXPECT_LT(std::fabs(eastByEast), 1e-4);
        EXPECT_LT(std::fabs(meanE), 0.25 * pixelEast);
        EXPECT_LT(std::fabs(meanN), 0.25 * pixelNorth);
        // Far: the content starts most of a tile row south of the edge.
        if (c.farFromRowEdge) {
            EXPECT_GT(nearest, 0.5 * 256 * pixelNorth);
        }
    }
}

}  // namespace
