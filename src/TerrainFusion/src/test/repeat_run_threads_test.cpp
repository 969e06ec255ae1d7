// Runs of the same frames on four workers give the same tiles: the frames
// rasterise at once but write their tiles in the order they were queued, so
// no tile depends on which worker finishes first. Also run under
// ThreadSanitizer.

#include "node_config.h"

#include "synthetic/box_scene.h"
#include "terrain/terrain_fusion.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <thread>

namespace {

namespace fs = std::filesystem;

struct Output {
    std::map<std::string, cv::Mat> dom;  // BGRA as OpenCV decodes the PNGs
    std::map<std::string, cv::Mat> dsm;  // float as OpenCV decodes the TIFFs
};

Output readFolders(const std::string& dir) {
    Output out;
    for (const auto& entry : fs::recursive_directory_iterator(dir + "/dom"))
        if (entry.path().extension() == ".png")
            out.dom[entry.path().filename().string()] = cv::imread(entry.path().string(), cv::IMREAD_UNCHANGED);
    for (const auto& entry : fs::recursive_directory_iterator(dir + "/dsm"))
        if (entry.path().extension() == ".tiff")
            out.dsm[entry.path().filename().string()] = cv::imread(entry.path().string(), cv::IMREAD_UNCHANGED);
    return out;
}

// Two strips of overlapping frames over the textured ground with its box,
// fed as point clouds to a node of four workers, with random pauses between
// them (seeded), so that the workers finish in another order from run to run.
Output run(const std::string& dir, unsigned seed) {
    synthetic::BoxScene scene;
    scene.width = 320;
    scene.height = 240;
    scene.focal = 400.0;
    nlohmann::json cfg = tftest::config(
        dir, {{"terrainfusion.threads", 4}, {"terrainfusion.render_mode", 3}, {"terrainfusion.render_zooms", 3}});
    cfg["zoom_level"] = 20;
    cfg["fetch_gps"] = true;
    std::mt19937 random(seed);
    {
        auto node = createTerrainFusionInstance(cfg.dump(), nullptr, nullptr, nullptr);
        EXPECT_TRUE(node->setUpOk());
        const double path[][2] = {{0, 0}, {12, 1}, {24, 0}, {36, -1}, {36, 22}, {24, 21}, {12, 22}, {0, 21}};
        uint64_t id = 1;
        for (const auto& p : path) {
            auto frame = scene.frame(id, p[0], p[1], dir + "/frame" + std::to_string(id) + ".png");
            // Sparser points for some frames: less work, an earlier finish.
            const int stride = 2 + static_cast<int>(id % 3);
            dv::Var message(std::vector<dv::Var>{dv::Var(std::static_pointer_cast<fw::MapFrame>(frame)),
                                                 dv::Var(scene.points(p[0], p[1], stride))});
            node->call("point_cloud", &message);
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
            ++id;
        }
    }  // destroyed: queued frames finish, then every cached tile is written
    return readFolders(dir);
}

TEST(RepeatRun, FourWorkersGiveTheSameTiles) {
    testsupport::TempDir first("tf-repeat"), second("tf-repeat");
    const Output a = run(first.path(), 1);
    const Output b = run(second.path(), 2);
    ASSERT_GT(a.dom.size(), 8u);
    ASSERT_EQ(a.dom.size(), b.dom.size());
    ASSERT_EQ(a.dsm.size(), b.dsm.size());
    size_t differing = 0, pixels = 0;
    for (const auto& [name, image] : a.dom) {
        ASSERT_TRUE(b.dom.count(name)) << name;
        const cv::Mat& other = b.dom.at(name);
        ASSERT_EQ(image.size(), other.size()) << name;
        ASSERT_EQ(image.type(), other.type()) << name;
        cv::Mat diff;
        cv::absdiff(image, other, diff);
        differing += cv::countNonZero(diff.reshape(1) > 1);
        pixels += image.total();
    }
    double worstHeight = 0.0;
    for (const auto& [name, grid] : a.dsm) {
        ASSERT_TRUE(b.dsm.count(name)) << name;
        const cv::Mat& other = b.dsm.at(name);
        ASSERT_EQ(grid.size(), other.size()) << name;
        ASSERT_EQ(grid.type(), CV_32FC1) << name;
        for (int r = 0; r < grid.rows; ++r)
            for (int c = 0; c < grid.cols; ++c) {
                const float u = grid.at<float>(r, c), v = other.at<float>(r, c);
                if (u < -1e8f && v < -1e8f) continue;
                worstHeight = std::max(worstHeight, std::fabs(double(u) - double(v)));
            }
    }
    std::printf("%zu DOM tiles: %zu of %zu channel values more than 1 level apart; DSM worst difference %.4f m\n",
                a.dom.size(), differing, pixels * 4, worstHeight);
    EXPECT_EQ(differing, 0u);
    EXPECT_LE(worstHeight, 1e-3);
}

}  // namespace
