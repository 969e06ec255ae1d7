#include "3dtiles/point_cloud_tiles.h"

#include "fw/map_frame.h"
#include "fw/messenger.h"
#include "testsupport/temp_dir.h"
#include "zel/node.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

dv::Var cloudMessage(uint64_t id) {
    std::vector<pt::Point3_<float>> points;
    std::vector<pt::Point3_<unsigned char>> colours;
    for (int i = 0; i < 128; ++i) {
        points.push_back({float(i % 8), float(i / 8), float(id)});
        colours.push_back({10, 20, 30});
    }
    auto frame = std::make_shared<fw::MapFrame>(id, double(id));
    return dv::Var(std::vector<dv::Var>{dv::Var(frame), dv::Var(points), dv::Var(colours)});
}

}  // namespace

// Two threads deliver at once (the pruner directly and a publisher of the
// topic): every frame reaches the master tileset and the item.
TEST(PointCloudTilesThreads, ConcurrentDeliveriesAllLand) {
    testsupport::TempDir temp("zel-pnts-threads");
    zel::Node parent("parent", nullptr);
    PointCloudTiles writer(temp.file("tiles"), &parent);
    constexpr int kPerThread = 6;
    std::thread direct([&writer] {
        for (int i = 0; i < kPerThread; ++i) writer.handlePointCloud(cloudMessage(100 + i));
    });
    std::thread topic([] {
        for (int i = 0; i < kPerThread; ++i) fw::Messenger::instance().publish("sbt.out.pcd", cloudMessage(200 + i));
    });
    direct.join();
    topic.join();

    std::ifstream in(fs::path(temp.file("tiles")) / "tileset.json");
    std::stringstream text;
    text << in.rdbuf();
    const nlohmann::json master = nlohmann::json::parse(text.str());
    EXPECT_EQ(master["root"]["children"].size(), 2u * kPerThread);
    for (int i = 0; i < kPerThread; ++i) {
        EXPECT_TRUE(fs::exists(fs::path(temp.file("tiles")) / std::to_string(100 + i) / "tileset.json"));
        EXPECT_TRUE(fs::exists(fs::path(temp.file("tiles")) / std::to_string(200 + i) / "0.pnts"));
    }
    ASSERT_EQ(parent.outputs().size(), 1u);
    EXPECT_GT(parent.outputs()[0]->time, 0.0);
}
