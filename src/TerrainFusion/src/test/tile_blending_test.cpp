// Multiband blending of frame rasters into tiles, the rebuild from the 3 x 3
// neighbourhood, the simple stitch and the rendering of lower zooms.

#include "node_config.h"
#include "tile_writers.h"

#include "terrain/grid_elevation.h"
#include "terrain/pyramid.h"
#include "terrain/terrain_fusion.h"
#include "testsupport/temp_dir.h"
#include "tiles/terrain_fusion_tile.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

namespace {

constexpr int kZoom = 20;

std::unique_ptr<TerrainFusion> makeNode(const std::string& dir, int renderMode = 3, int renderZooms = 6) {
    nlohmann::json cfg = tftest::config(dir, {{"terrainfusion.render_mode", renderMode},
                                              {"terrainfusion.render_zooms", renderZooms},
                                              {"terrainfusion.cache_size", 100000}});
    cfg["zoom_level"] = kZoom;
    cfg["fetch_gps"] = true;
    auto node = std::make_unique<TerrainFusion>(cfg.dump(), nullptr);
    EXPECT_TRUE(node->setUpOk());
    return node;
}

std::shared_ptr<TerrainFusionMultiTile> tileAt(TerrainFusion& node, int x, int y, int z) {
    return std::dynamic_pointer_cast<TerrainFusionMultiTile>(node.tileManager()->GetTile(x, y, z));
}

bool identical(const cv::Mat& a, const cv::Mat& b) {
    if (a.size() != b.size() || a.type() != b.type()) return false;
    cv::Mat diff;
    cv::absdiff(a, b, diff);
    return cv::countNonZero(diff.reshape(1)) == 0;
}

// The rebuild worked out with OpenCV alone: a lone tile's bands padded with
// their own mirror image, collapsed, its centre.
cv::Mat loneTileRebuild(const cv::Mat& dom, int levels) {
    std::vector<cv::Mat> g{dom};
    for (int i = 0; i < levels; ++i) {
        cv::Mat down;
        cv::pyrDown(g.back(), down);
        g.push_back(down);
    }
    std::vector<cv::Mat> padded(levels + 1);
    for (int l = 0; l <= levels; ++l) {
        cv::Mat band;
        if (l < levels) {
            cv::Mat up;
            cv::pyrUp(g[l + 1], up, g[l].size());
            cv::subtract(g[l], up, band, cv::noArray(), CV_16S);
        } else {
            g[l].convertTo(band, CV_16S);
        }
        const int b = 1 << (levels - l);
        cv::copyMakeBorder(band, padded[l], b, b, b, b, cv::BORDER_REFLECT);
    }
    for (int l = levels - 1; l >= 0; --l) {
        cv::Mat up;
        cv::pyrUp(padded[l + 1], up, padded[l].size());
        cv::add(padded[l], up, padded[l]);
    }
    cv::Mat out;
    padded[0].convertTo(out, CV_8UC3);
    return out(cv::Rect(1 << levels, 1 << levels, 256, 256)).clone();
}

TEST(Multiband, LoneTileIsRebuiltWithItsOwnBandsMirroredAroundIt) {
    for (int zooms : {6, 1}) {
        SCOPED_TRACE(zooms);
        testsupport::TempDir dir("tf-blend");
        auto node = makeNode(dir.path(), 3, zooms);
        const auto d = tftest::textured(300, 400, 300, 400, 3, 200);
        ASSERT_TRUE(node->stitchMultiband(d));
        auto tile = tileAt(*node, 300, 400, kZoom);
        ASSERT_TRUE(tile);
        ASSERT_EQ(tile->imagePyramid.size(), static_cast<size_t>(zooms) + 1);
        EXPECT_TRUE(identical(tile->image, loneTileRebuild(d.dom, zooms)));
        // A uniform lone tile comes back uniform: no dark rim from its edges.
        testsupport::TempDir other("tf-blend");
        auto flat = makeNode(other.path(), 3, zooms);
        ASSERT_TRUE(flat->stitchMultiband(tftest::record(300, 400, 300, 400, cv::Scalar(90, 120, 150), 200, 1.0f)));
        const cv::Mat rebuilt = tileAt(*flat, 300, 400, kZoom)->image;
        EXPECT_EQ(cv::norm(rebuilt, cv::Mat(256, 256, CV_8UC3, cv::Scalar(90, 120, 150)), cv::NORM_INF), 0.0);
        EXPECT_TRUE(identical(tile->weight, d.weight));
        EXPECT_TRUE(tile->isModified());
        EXPECT_TRUE(tile->elevationPyramid.empty());
    }
}

TEST(Multiband, EqualWeightsKeepTheTileAndHigherWeightsWin) {
    testsupport::TempDir dir("tf-blend");
    auto node = makeNode(dir.path());
    ASSERT_TRUE(node->stitchMultiband(tftest::textured(10, 10, 11, 10, 1, 100)));
    auto before = tileAt(*node, 10, 10, kZoom);
    const cv::Mat image = static_cast<cv::Mat>(before->image).clone();
    const cv::Mat elevation = static_cast<cv::Mat>(before->elevation).clone();
    std::vector<cv::Mat> bands;
    for (const auto& b : before->imagePyramid) bands.push_back(static_cast<cv::Mat>(b).clone());
    before.reset();

    // Same weight, other content: nothing changes, the tile is still rebuilt and stamped.
    ASSERT_TRUE(node->stitchMultiband(tftest::textured(10, 10, 11, 10, 2, 100)));
    auto after = tileAt(*node, 10, 10, kZoom);
    EXPECT_TRUE(identical(after->image, image));
    EXPECT_TRUE(identical(after->elevation, elevation));
    for (size_t l = 0; l < bands.size(); ++l) EXPECT_TRUE(identical(after->imagePyramid[l], bands[l])) << l;
    after.reset();

    // Higher weight on the left half of tile (10, 10) only.
    auto higher = tftest::textured(10, 10, 10, 10, 4, 0);
    higher.weight(cv::Rect(0, 0, 128, 256)).setTo(150);
    higher.dsm.setTo(42.0f);
    ASSERT_TRUE(node->stitchMultiband(higher));
    auto won = tileAt(*node, 10, 10, kZoom);
    const cv::Mat w = won->weight, e = won->elevation, b0 = won->imagePyramid[0];
    std::vector<cv::Mat> frameBands;
    buildLaplacianPyramid(higher.dom, 6, frameBands);
    EXPECT_EQ(w.at<uint8_t>(10, 10), 150);
    EXPECT_EQ(w.at<uint8_t>(10, 200), 100);
    EXPECT_EQ(e.at<float>(5, 5), 42.0f);
    EXPECT_EQ(e.at<float>(5, 60), elevation.at<float>(5, 60));
    EXPECT_EQ(b0.at<cv::Vec3s>(10, 10), frameBands[0].at<cv::Vec3s>(10, 10));
    EXPECT_EQ(b0.at<cv::Vec3s>(10, 200), bands[0].at<cv::Vec3s>(10, 200));
}

TEST(Multiband, NeighboursFeedTheSeams) {
    // Two tiles of one frame: each rebuilt colour equals the middle of the
    // frame's own rebuild over both, away from the far edges.
    testsupport::TempDir dir("tf-blend");
    auto node = makeNode(dir.path());
    const auto d = tftest::textured(50, 60, 51, 60, 5, 255);
    ASSERT_TRUE(node->stitchMultiband(d));
    auto left = tileAt(*node, 50, 60, kZoom), right = tileAt(*node, 51, 60, kZoom);
    const cv::Mat l = left->image, r = right->image;
    // Across the shared edge the colours continue: no seam from zero padding.
    double seam = 0.0, inner = 0.0;
    for (int y = 0; y < 256; ++y) {
        seam += cv::norm(cv::Vec3d(l.at<cv::Vec3b>(y, 255)) - cv::Vec3d(r.at<cv::Vec3b>(y, 0)));
        inner += cv::norm(cv::Vec3d(l.at<cv::Vec3b>(y, 254)) - cv::Vec3d(l.at<cv::Vec3b>(y, 255)));
    }
    EXPECT_LT(seam, 3.0 * inner + 256.0);
    const cv::Mat alone = loneTileRebuild(d.dom(cv::Rect(0, 0, 256, 256)), 6);
    EXPECT_FALSE(identical(l, alone));  // the right neighbour's bands took part
}

TEST(SimpleStitch, WinnerTakesAllWithoutPyramidUpdate) {
    testsupport::TempDir dir("tf-blend");
    auto node = makeNode(dir.path(), 2);
    ASSERT_TRUE(node->stitchDSM(tftest::record(7, 9, 7, 9, cv::Scalar(1, 2, 3), 50, 5.0f)));
    auto tile = tileAt(*node, 7, 9, kZoom);
    ASSERT_TRUE(tile);
    EXPECT_EQ(static_cast<cv::Mat>(tile->image).at<cv::Vec3b>(0, 0), cv::Vec3b(1, 2, 3));
    const cv::Mat band0 = static_cast<cv::Mat>(tile->imagePyramid[0]).clone();
    tile.reset();
    ASSERT_TRUE(node->stitchDSM(tftest::record(7, 9, 7, 9, cv::Scalar(9, 9, 9), 60, 6.0f)));
    tile = tileAt(*node, 7, 9, kZoom);
    EXPECT_EQ(static_cast<cv::Mat>(tile->image).at<cv::Vec3b>(100, 100), cv::Vec3b(9, 9, 9));
    EXPECT_EQ(static_cast<cv::Mat>(tile->weight).at<uint8_t>(100, 100), 60);
    EXPECT_EQ(static_cast<cv::Mat>(tile->elevation).at<float>(10, 10), 6.0f);
    EXPECT_TRUE(identical(tile->imagePyramid[0], band0));
    // Its parents exist.
    EXPECT_TRUE(tileAt(*node, 3, 4, kZoom - 1));
}

TEST(LowerZooms, ParentPlacementAndReductionsOverCoveredPixels) {
    testsupport::TempDir dir("tf-render");
    auto node = makeNode(dir.path());
    cv::Mat image(256, 256, CV_8UC3), weight(256, 256, CV_8UC1), elevation(64, 64, CV_32FC1);
    cv::RNG rng(11);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    rng.fill(weight, cv::RNG::UNIFORM, 1, 256);
    rng.fill(elevation, cv::RNG::UNIFORM, -20.0, 300.0);
    weight(cv::Rect(0, 0, 256, 40)).setTo(0);
    image(cv::Rect(0, 0, 256, 40)).setTo(cv::Scalar::all(255));
    auto base = std::make_shared<TerrainFusionMultiTile>(fw::GImage(image.clone()), fw::GImage(elevation.clone()),
                                                         TileKey{5, 3, kZoom}, 1.0, fw::GImage(weight.clone()),
                                                         fw::GImage(), 0);
    ASSERT_TRUE(node->tileManager()->SetTile(5, 3, kZoom, base));
    base.reset();
    node->renderLowerZooms(5, 3, kZoom);

    struct Placement {
        int k, px, py, column, row, size;
    };
    // (5, 3) at k levels up: parent, pixel column and row, colour sub-square size.
    const Placement table[] = {{1, 2, 1, 128, 128, 128}, {2, 1, 0, 64, 192, 64}, {3, 0, 0, 160, 96, 32},
                               {5, 0, 0, 40, 24, 8}};
    cv::Mat colour = image, w = weight, e = elevation;
    cv::Mat cover, colourTimesCover;
    cv::Mat(weight > 0).convertTo(cover, CV_32F, 1.0 / 255.0);
    image.convertTo(colourTimesCover, CV_32FC3);
    {
        cv::Mat cover3;
        cv::merge(std::vector<cv::Mat>{cover, cover, cover}, cover3);
        cv::multiply(colourTimesCover, cover3, colourTimesCover);
    }
    int level = 0;
    for (const Placement& p : table) {
        SCOPED_TRACE(p.k);
        while (level < p.k) {
            cv::Mat c2, w2, e2;
            // Colour over the covered pixels only: colour x coverage and the
            // coverage reduced alike, then divided.
            cv::Mat cm, m2;
            cv::pyrDown(colourTimesCover, cm);
            cv::pyrDown(cover, m2);
            colourTimesCover = cm;
            cover = m2;
            cv::Mat m3;
            cv::merge(std::vector<cv::Mat>{m2, m2, m2}, m3);
            cv::Mat quotient;
            cv::divide(cm, cv::max(m3, 1e-6), quotient);
            quotient.convertTo(c2, CV_8UC3);
            c2.setTo(cv::Scalar::all(255), m2 <= 1e-6);
            cv::resize(w, w2, cv::Size(w.cols / 2, w.rows / 2), 0, 0, cv::INTER_NEAREST);
            cv::resize(e, e2, cv::Size(e.cols / 2, e.rows / 2), 0, 0, cv::INTER_NEAREST);
            colour = c2;
            w = w2;
            e = e2;
            ++level;
        }
        auto parent = tileAt(*node, p.px, p.py, kZoom - p.k);
        ASSERT_TRUE(parent);
        const cv::Rect sub(p.column, p.row, p.size, p.size);
        const cv::Rect elevationSub(p.column / 4, p.row / 4, p.size / 4, p.size / 4);
        // Within one level of the float rule worked out here.
        EXPECT_LE(cv::norm(static_cast<cv::Mat>(parent->image)(sub), colour, cv::NORM_INF), 1.0);
        EXPECT_TRUE(identical(static_cast<cv::Mat>(parent->weight)(sub), w));
        EXPECT_TRUE(identical(static_cast<cv::Mat>(parent->elevation)(elevationSub), e));
        // Outside the sub-square a new parent is black, weight 0, no elevation.
        const cv::Mat pi = parent->image;
        const cv::Point outside(p.column == 0 ? 255 : 0, p.row == 0 ? 255 : 0);
        EXPECT_EQ(pi.at<cv::Vec3b>(outside), cv::Vec3b(0, 0, 0));
        EXPECT_LT(static_cast<cv::Mat>(parent->elevation).at<float>(outside.y / 4, outside.x / 4), kEmptyBelow);
        EXPECT_TRUE(parent->isModified());
    }
    // The white, weight-0 strip overwrites the ancestors' strip.
    auto parent = tileAt(*node, 2, 1, kZoom - 1);
    EXPECT_EQ(static_cast<cv::Mat>(parent->weight).at<uint8_t>(130, 200), 0);
    EXPECT_EQ(static_cast<cv::Mat>(parent->image).at<cv::Vec3b>(130, 200), cv::Vec3b(255, 255, 255));
    // Nothing below zoom 20 - 5.
    EXPECT_FALSE(tileAt(*node, 0, 0, kZoom - 6));
}

TEST(LowerZooms, MissingBaseAndZoomZero) {
    testsupport::TempDir dir("tf-render");
    auto node = makeNode(dir.path());
    node->renderLowerZooms(77, 77, kZoom);  // no base tile: nothing happens
    EXPECT_FALSE(tileAt(*node, 38, 38, kZoom - 1));
    // A base tile at zoom 2 reaches zoom 0 and stops there.
    auto base = std::make_shared<TerrainFusionMultiTile>(
        fw::GImage(cv::Mat(256, 256, CV_8UC3, cv::Scalar::all(7))), fw::GImage(cv::Mat(64, 64, CV_32FC1, cv::Scalar(1))),
        TileKey{3, 2, 2}, 1.0, fw::GImage(cv::Mat(256, 256, CV_8UC1, cv::Scalar(9))), fw::GImage(), 0);
    ASSERT_TRUE(node->tileManager()->SetTile(3, 2, 2, base));
    node->renderLowerZooms(3, 2, 2);
    EXPECT_TRUE(tileAt(*node, 0, 0, 0));
    EXPECT_TRUE(tileAt(*node, 1, 1, 1));
}

}  // namespace
