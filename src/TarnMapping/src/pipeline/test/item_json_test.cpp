// Output items: defaults, the terrain kinds, copying between classes and the
// exact JSON forms of the status line.
#include "zel/item_json.h"

#include <gtest/gtest.h>

using nlohmann::json;
using namespace zel;

TEST(TfTileset, KindsSetTheirDefaults) {
    struct Case {
        const char* kind;
        int tilesetType;
        const char* format;
        int size;
    };
    const Case cases[] = {{"dom", 1, "png", 256}, {"dsm", 2, "tiff", 64}, {"DOM", -1, "png", 256}, {"", -1, "png", 256}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        TfTileset t(c.kind);
        EXPECT_EQ(t.type, ItemType::Tileset);
        EXPECT_EQ(t.state, ItemState::New);
        EXPECT_EQ(t.time, -1.0);
        EXPECT_EQ(t.name, "");
        EXPECT_EQ(t.tilesetType, c.tilesetType);
        EXPECT_EQ(t.tileFormat, c.format);
        EXPECT_EQ(t.tileSize[0], c.size);
        EXPECT_EQ(t.tileSize[1], c.size);
        EXPECT_EQ(t.storageType, 1);
        EXPECT_EQ(t.crs, "EPSG:3857");
        EXPECT_EQ(t.pathTemplate, "{z}/{z}_{x}_{y}");
    }
}

TEST(ItemJson, DsmTilesetHasElevenKeys) {
    auto dsm = std::make_shared<TfTileset>("dsm");
    dsm->name = "dsm_01";
    dsm->state = ItemState::Updating;
    dsm->time = 1700000000.125;
    dsm->location = "/somewhere";
    dsm->extra = "kept";
    dsm->geometry = {1.5, -2.0, 3.25, 4.0};
    dsm->zoomRange = {20, 15};
    json out;
    ASSERT_TRUE(itemToJson(dsm, out));
    const json expected = json::parse(R"({"crs":"EPSG:3857","geometry":[1.5,-2.0,3.25,4.0],"id":"dsm_01",
        "state":10,"storage_type":1,"tile_format":"tiff","tile_size":[64,64],"tileset_type":2,
        "time_updated":1700000000.125,"type":111,"zooms":[15,20]})");
    EXPECT_EQ(out, expected);
    EXPECT_EQ(out.size(), 11u);
    EXPECT_TRUE(out["time_updated"].is_number_float());
    EXPECT_TRUE(out["geometry"][1].is_number_float());
    EXPECT_TRUE(out["zooms"][0].is_number_integer());
}

TEST(ItemJson, TileSizeIsWrittenSecondThenFirst) {
    Tileset t;
    t.tileSize = {512, 128};
    json out;
    ASSERT_TRUE(tilesetToJson(t, out));
    EXPECT_EQ(out["tile_size"], json::parse("[128,512]"));
    EXPECT_EQ(out["zooms"], json::parse("[0,0]"));
    EXPECT_EQ(out["type"], -1);
}

TEST(ItemJson, PointCloudHasFiveKeysAndOtherItemsNone) {
    auto cloud = std::make_shared<Tileset3D>();
    cloud->name = "pointcloud_01";
    cloud->type = ItemType::Tileset3D;
    cloud->path = "/x/tileset.json";
    json out;
    ASSERT_TRUE(itemToJson(cloud, out));
    EXPECT_EQ(out, json::parse(R"({"id":"pointcloud_01","type":112,"state":-1,"time_updated":-1.0,"tileset_type":10})"));

    json untouched = "keep";
    EXPECT_FALSE(itemToJson(std::make_shared<OutputItem>(), untouched));
    EXPECT_FALSE(itemToJson(nullptr, untouched));
    EXPECT_EQ(untouched, "keep");
}

TEST(OutputItems, CloneKeepsValuesAndTfTilesetBecomesTileset) {
    auto dsm = std::make_shared<TfTileset>("dsm");
    dsm->name = "dsm_01";
    dsm->location = "/tiles";
    auto copy = dsm->clone();
    EXPECT_EQ(typeid(*copy), typeid(Tileset));
    auto* tiles = dynamic_cast<Tileset*>(copy.get());
    ASSERT_NE(tiles, nullptr);
    EXPECT_EQ(tiles->tileSize[0], 64);
    EXPECT_EQ(tiles->tileFormat, "tiff");
    EXPECT_EQ(tiles->location, "/tiles");
    EXPECT_EQ(tiles->name, "dsm_01");

    auto cloud = std::make_shared<Tileset3D>();
    cloud->path = "p";
    EXPECT_EQ(typeid(*cloud->clone()), typeid(Tileset3D));
    EXPECT_EQ(dynamic_cast<Tileset3D&>(*cloud->clone()).path, "p");
}

TEST(OutputItems, AssignAcrossClassesCopiesOnlyTheCommonPart) {
    auto tiles = std::make_shared<Tileset>();
    tiles->location = "loc";
    tiles->tilesetType = 1;
    auto cloud = std::make_shared<Tileset3D>();
    cloud->name = "pointcloud_01";
    cloud->type = ItemType::Tileset3D;
    cloud->state = ItemState::Updating;
    cloud->time = 5.0;
    cloud->tilesetType = 33;
    tiles->assign(cloud);
    EXPECT_EQ(tiles->name, "pointcloud_01");
    EXPECT_EQ(tiles->type, ItemType::Tileset3D);
    EXPECT_EQ(tiles->state, ItemState::Updating);
    EXPECT_EQ(tiles->time, 5.0);
    EXPECT_EQ(tiles->tilesetType, 1);
    EXPECT_EQ(tiles->location, "loc");

    auto other = std::make_shared<Tileset>();
    other->location = "new";
    other->zoomRange = {18, 12};
    other->extra = "x";
    tiles->assign(other);
    EXPECT_EQ(tiles->location, "new");
    EXPECT_EQ(tiles->zoomRange[1], 12);
    EXPECT_EQ(tiles->extra, "x");
    EXPECT_EQ(tiles->name, "");

    cloud->assign(tiles);
    EXPECT_EQ(cloud->tilesetType, 33);
    EXPECT_EQ(cloud->name, "");
}

TEST(OutputItems, AssignToItselfChangesNothing) {
    auto dom = std::make_shared<TfTileset>("dom");
    dom->name = "dom_01";
    dom->location = "/d";
    dom->time = 3.0;
    dom->assign(dom);
    EXPECT_EQ(dom->name, "dom_01");
    EXPECT_EQ(dom->location, "/d");
    EXPECT_EQ(dom->time, 3.0);
    EXPECT_EQ(dom->tilesetType, 1);
}
