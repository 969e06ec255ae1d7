#include "tiles/terrain_fusion_tile.h"
#include "tiles/tile_manager.h"
#include "tiles/tile_serial.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <memory>
#include <sstream>

namespace {

fw::GImage filled(int rows, int cols, int type, double value) {
    return fw::GImage(cv::Mat(rows, cols, type, cv::Scalar::all(value)));
}

}  // namespace

TEST(TileModel, ElementSizeRule) {
    struct Case {
        int type;
        int64_t size;
    } cases[] = {{CV_8UC1, 1}, {CV_8UC3, 3}, {CV_8UC4, 4}, {CV_16UC1, 2}, {CV_32FC1, 4},
                 {CV_32FC3, 12}, {CV_64FC2, 16}, {7, 8}, {CV_8UC(512), 512}};
    for (const Case& c : cases) EXPECT_EQ(tileserial::elemSize(c.type), c.size) << "type " << c.type;
}

// What each class answers before any setter: the interface table.
TEST(TileModel, DefaultAnswersPerClass) {
    const fw::GImage img = filled(4, 4, CV_8UC3, 9);
    const fw::GImage elev = filled(2, 2, CV_32FC1, 1.5);
    const fw::GImage w = filled(4, 4, CV_8UC1, 3);
    const fw::GImage a = filled(4, 4, CV_8UC1, 4);
    struct Row {
        std::shared_ptr<fw::ImageTile> tile;
        const char* type;
        bool hasElevation, hasWeight;
        uint32_t tag;
        TileKey key;
        double timestamp;
    } rows[] = {
        {std::make_shared<fw::ImageTile>(img), "ImageTile", false, false, 0xffffffffu, {0, 0, -1}, -1.0},
        {std::make_shared<fw::TerrainTile>(img, elev), "TerrainTile", true, false, 0xffffffffu, {0, 0, -1}, -1.0},
        {std::make_shared<fw::TerrainTileWithInfo>(img, elev, TileKey{5, 6, 7}, 2.5), "TerrainTile", true, false,
         0xffffffffu, {5, 6, 7}, 2.5},
        {std::make_shared<TerrainFusionTile>(img, elev, TileKey{5, 6, 7}, 2.5, w, a, 42), "TerrainFusionTile", true,
         true, 42, {5, 6, 7}, 2.5},
        {std::make_shared<TerrainFusionMultiTile>(img, elev, TileKey{5, 6, 7}, 2.5, w, a, 42),
         "TerrainFusionMultiTile", true, true, 42, {5, 6, 7}, 2.5},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.type);
        fw::ImageTile& t = *r.tile;
        EXPECT_EQ(t.type(), r.type);
        EXPECT_EQ(t.getImage().data, img.data);  // shared, not copied
        EXPECT_EQ(t.getElevation().data, r.hasElevation ? elev.data : nullptr);
        EXPECT_EQ(t.getWeight().data, r.hasWeight ? w.data : nullptr);
        EXPECT_EQ(t.getAuxImage().data, r.hasWeight ? a.data : nullptr);
        EXPECT_EQ(t.getTag(), r.tag);
        EXPECT_EQ(t.getTileKey(), r.key);
        EXPECT_EQ(t.getTimestamp(), r.timestamp);
        EXPECT_FALSE(t.isModified());
        // Setters the class does not have change nothing.
        t.setTag(7);
        t.setAuxImage(fw::GImage());
        EXPECT_EQ(t.getTag(), r.hasWeight ? 7u : 0xffffffffu);
        EXPECT_EQ(t.getAuxImage().data, nullptr);
        t.setModified(true);
        EXPECT_TRUE(t.isModified());
    }
}

TEST(TileModel, FusionTileOperations) {
    TerrainFusionMultiTile t;
    EXPECT_EQ(t.getTileKey(), (TileKey{0, 0, -1}));
    EXPECT_EQ(t.getTimestamp(), -1.0);
    EXPECT_EQ(t.getTag(), 0u);
    EXPECT_TRUE(t.getImagePyramid().empty());

    t.weight = filled(3, 3, CV_8UC1, 1);
    fw::GImage out;
    t.copyWeightTo(out);
    EXPECT_EQ(out.data, t.weight.data);
    t.setTimestamp(11.0);
    t.setElevation(filled(2, 2, CV_32FC1, 0));
    EXPECT_EQ(t.getTimestamp(), 11.0);
    EXPECT_EQ(t.getElevation().rows, 2);

    // Pyramid getters copy the vector; the images still share pixels.
    t.weightPyramid.push_back(filled(2, 2, CV_8UC1, 5));
    auto copy = t.getWeightPyramid();
    copy.push_back(fw::GImage());
    EXPECT_EQ(t.weightPyramid.size(), 1u);
    EXPECT_EQ(copy[0].data, t.weightPyramid[0].data);
}

TEST(TileModel, ByteSizes) {
    const fw::GImage img = filled(8, 8, CV_8UC3, 1);     // 192 bytes
    const fw::GImage elev = filled(4, 4, CV_32FC1, 1);   // 64 bytes
    const fw::GImage w = filled(8, 8, CV_8UC1, 1);       // 64 bytes
    EXPECT_EQ(fw::ImageTile(img).getByteSize(), 192u + 12);
    EXPECT_EQ(fw::TerrainTile(img, elev).getByteSize(), 192u + 64 + 24);
    EXPECT_EQ(fw::TerrainTileWithInfo(img, elev, {1, 2, 3}, 0.0).getByteSize(), 192u + 64 + 44);
    EXPECT_EQ(TerrainFusionTile(img, elev, {1, 2, 3}, 0.0, w, w, 0).getByteSize(), 4u * (64 + 16));

    TerrainFusionMultiTile multi(img, elev, {1, 2, 3}, 0.0, w, w, 0);
    multi.imagePyramid = {img};
    const uint32_t serial = 3 * 8 + (12 + 192) + 12 + 8 + (12 + 64);
    EXPECT_EQ(multi.getByteSize(), serial + 4u * (64 + 16));
    // The serial classes' sizes are their exact serial sizes.
    const std::shared_ptr<fw::ImageTile> serialTiles[] = {std::make_shared<fw::ImageTile>(img),
                                                          std::make_shared<fw::TerrainTile>(img, elev),
                                                          std::make_shared<fw::TerrainTileWithInfo>(img, elev)};
    for (const auto& t : serialTiles) {
        std::ostringstream out;
        ASSERT_TRUE(t->serialize(out));
        EXPECT_EQ(out.str().size(), t->getByteSize());
    }
    std::ostringstream out;
    ASSERT_TRUE(multi.serialize(out));
    EXPECT_EQ(int64_t(out.str().size()), multi.serialSize());
}

TEST(TileManager, BaseAnswers) {
    fw::TileManager m;
    EXPECT_EQ(m.type(), "TileManager");
    EXPECT_EQ(m.GetTile(1, 2, 3), nullptr);
    EXPECT_FALSE(m.SetTile(1, 2, 3, std::make_shared<TerrainFusionMultiTile>()));
    EXPECT_TRUE(m.getTileList().empty());
    EXPECT_EQ(m.reservedQuery(), -1);
    EXPECT_FALSE(m.exportMap("x"));
    ASSERT_NE(m.getProjection(), nullptr);
    EXPECT_EQ(m.getProjection()->tileSize().x, 256);
    EXPECT_EQ(m.maxZoomLevel(), 0);
    EXPECT_EQ(m.getTileArea().xMin, 2147483647);

    TileArea area;
    area.z = 19;
    area.xMin = 10;
    m.setTileArea(area);
    EXPECT_EQ(m.maxZoomLevel(), 19);
    EXPECT_EQ(m.getTileArea().xMin, 10);
    auto projection = std::make_shared<fw::MercatorProjection>();
    m.setProjection(projection);
    EXPECT_EQ(m.getProjection(), projection);
}
