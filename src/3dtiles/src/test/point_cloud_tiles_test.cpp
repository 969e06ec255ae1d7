#include "3dtiles/box_geometry.h"
#include "3dtiles/point_cloud_tiles.h"

#include "fw/log.h"
#include "fw/map_frame.h"
#include "fw/messenger.h"
#include "testsupport/captured_log.h"
#include "testsupport/program_paths.h"
#include "testsupport/run_process.h"
#include "testsupport/temp_dir.h"
#include "zel/node.h"
#include "zel/output_item.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

using Points = std::vector<pt::Point3_<float>>;
using Colours = std::vector<pt::Point3_<unsigned char>>;

// ---- fixtures

struct Cloud {
    Points points;
    Colours colours;
};

// n points on a tilted patch; the odd-indexed points (level 0 only) reach
// further out than the rest, so a box of the coarse levels misses them.
Cloud makeCloud(size_t n, bool flat = false) {
    Cloud c;
    for (size_t i = 0; i < n; ++i) {
        const float a = float(i % 10), b = float(i / 10);
        const float spread = (i % 2 == 1) ? 3.0f : 1.0f;
        c.points.push_back({spread * (a - 4.5f), spread * (b - 4.5f) + 0.25f, flat ? 7.5f : 0.1f * a * b - 2.0f});
        c.colours.push_back({(unsigned char)(i % 256), (unsigned char)(2 * i % 256), (unsigned char)(255 - i % 256)});
    }
    return c;
}

std::shared_ptr<fw::MapFrame> makeFrame(uint64_t id, const fw::SE3& pose) {
    auto frame = std::make_shared<fw::MapFrame>(id, double(id));
    frame->setPose(pose);
    return frame;
}

fw::SE3 rotatedPose(double angle, const pt::Point3d& t) {
    // About the axis (1, 2, 2) / 3.
    const double s = std::sin(angle / 2);
    return fw::SE3(fw::SO3(s / 3, 2 * s / 3, 2 * s / 3, std::cos(angle / 2)), t);
}

dv::Var message(const std::shared_ptr<fw::MapFrame>& frame, const Cloud& cloud) {
    return dv::Var(std::vector<dv::Var>{dv::Var(frame), dv::Var(cloud.points), dv::Var(cloud.colours)});
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

uint32_t u32At(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(uint8_t(s[at + i])) << (8 * i);
    return v;
}

std::string findNode() {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const fs::path candidate = fs::path(dir) / "node";
        if (!dir.empty() && fs::exists(candidate)) return candidate.string();
    }
    return "";
}

// The tileset as loaders.gl's 3D Tiles loader reads it.
json readWithLoadersGl(const std::string& folder) {
    const std::string node = findNode();
    EXPECT_FALSE(node.empty()) << "node is not on PATH; scripts/setup.sh installs it";
    const bool installed = fs::exists(fs::path(testsupport::kNodeModulesPath) / "@loaders.gl" / "3d-tiles");
    EXPECT_TRUE(installed) << "@loaders.gl/3d-tiles is missing from " << testsupport::kNodeModulesPath
                           << "; run scripts/setup.sh";
    if (node.empty() || !installed) return json();
    const testsupport::ProcessResult r = testsupport::runProcess(
        {node, testsupport::kTilesetCheckerPath, testsupport::kNodeModulesPath, folder}, "", 60.0);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return json::parse(r.out, nullptr, false);
}

// ---- box containment, with a tolerance for the 12 digits of the printed numbers

using Vec = std::array<double, 3>;

std::vector<Vec> corners(const std::vector<double>& b) {
    std::vector<Vec> out;
    for (int s = 0; s < 8; ++s) {
        Vec p{b[0], b[1], b[2]};
        for (int a = 0; a < 3; ++a) {
            const double sign = (s >> a) & 1 ? 1.0 : -1.0;
            for (int k = 0; k < 3; ++k) p[k] += sign * b[3 + 3 * a + k];
        }
        out.push_back(p);
    }
    return out;
}

// Whether p lies in the box (orthogonal half-axes, possibly of length 0).
bool inside(const std::vector<double>& box, const Vec& p, double tol) {
    Vec d{p[0] - box[0], p[1] - box[1], p[2] - box[2]};
    for (int a = 0; a < 3; ++a) {
        const double* axis = &box[3 + 3 * a];
        const double len2 = axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2];
        if (len2 == 0) continue;
        const double coef = (d[0] * axis[0] + d[1] * axis[1] + d[2] * axis[2]) / len2;
        if (std::abs(coef) > 1 + tol / std::sqrt(len2)) return false;
        for (int k = 0; k < 3; ++k) d[k] -= coef * axis[k];
    }
    return std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]) <= tol;
}

bool boxInside(const std::vector<double>& inner, const std::vector<double>& outer) {
    for (const Vec& c : corners(inner))
        if (!inside(outer, c, 1e-6)) return false;
    return true;
}

// A box given in a tile's frame, moved by its column-major transform.
std::vector<double> moved(const std::vector<double>& box, const std::vector<double>& m) {
    std::vector<double> out(12);
    for (int r = 0; r < 3; ++r) {
        out[r] = m[12 + r];
        for (int k = 0; k < 3; ++k) {
            out[r] += m[4 * k + r] * box[k];
            for (int a = 1; a <= 3; ++a) out[3 * a + r] += m[4 * k + r] * box[3 * a + k];
        }
    }
    return out;
}

std::vector<double> boxOf(const json& tile) { return tile.at("box").get<std::vector<double>>(); }

// Every child's box lies in its parent's, down the chain.
void expectNested(const json& tile) {
    for (const json& child : tile.at("children")) {
        EXPECT_TRUE(boxInside(boxOf(child), boxOf(tile))) << child.dump() << "\nin\n" << tile.dump();
        expectNested(child);
    }
}

}  // namespace

// ---- .pnts streams

TEST(PointCloudTilesPnts, LayoutAndPadding) {
    // 840 points: JSON of 76 bytes (4 mod 8) and a binary of a multiple of 8, both padded by 8.
    for (size_t n : {size_t(0), size_t(1), size_t(7), size_t(100), size_t(840)}) {
        SCOPED_TRACE(n);
        const Cloud c = makeCloud(n);
        std::ostringstream out;
        ASSERT_TRUE(PointCloudTiles::writePnts(out, c.points, c.colours));
        const std::string s = out.str();
        ASSERT_GE(s.size(), 28u);
        EXPECT_EQ(s.substr(0, 4), "pnts");
        EXPECT_EQ(u32At(s, 4), 1u);
        EXPECT_EQ(u32At(s, 8), s.size());
        const uint32_t jsonLength = u32At(s, 12), binLength = u32At(s, 16);
        EXPECT_EQ(u32At(s, 20), 0u);
        EXPECT_EQ(u32At(s, 24), 0u);
        EXPECT_EQ(28 + jsonLength + binLength, s.size());
        EXPECT_EQ((28 + jsonLength) % 8, 0u);
        EXPECT_EQ(s.size() % 8, 0u);
        const std::string text = "{\"POINTS_LENGTH\":" + std::to_string(n) +
                                 ",\"POSITION\":{\"byteOffset\":0},\"RGB\":{\"byteOffset\":" + std::to_string(12 * n) +
                                 "}}";
        EXPECT_EQ(s.substr(28, text.size()), text);
        const size_t jsonPad = jsonLength - text.size(), binPad = binLength - 15 * n;
        EXPECT_GE(jsonPad, 1u);
        EXPECT_LE(jsonPad, 8u);
        EXPECT_GE(binPad, 1u);
        EXPECT_LE(binPad, 8u);
        EXPECT_EQ(s.substr(28 + text.size(), jsonPad), std::string(jsonPad, ' '));
        EXPECT_EQ(s.substr(s.size() - binPad), std::string(binPad, ' '));
        if (n == 840) {
            EXPECT_EQ(jsonPad, 8u);
            EXPECT_EQ(binPad, 8u);
        }
        if (n > 0) {
            const size_t bin = 28 + jsonLength;
            float x;
            std::memcpy(&x, s.data() + bin + 12 * (n - 1), 4);
            EXPECT_EQ(x, c.points[n - 1].x);
            EXPECT_EQ(uint8_t(s[bin + 12 * n + 3 * (n - 1) + 2]), c.colours[n - 1].z);
        }
    }
}

TEST(PointCloudTilesPnts, FewerColoursThanPointsWritesNothing) {
    Cloud c = makeCloud(10);
    c.colours.resize(9);
    std::ostringstream out;
    EXPECT_FALSE(PointCloudTiles::writePnts(out, c.points, c.colours));
    EXPECT_TRUE(out.str().empty());
}

// ---- boxes

TEST(PointCloudTilesBoxes, TransformIsColumnMajorPose) {
    const fw::SE3 pose = rotatedPose(0.7, {10, -20, 30});
    const auto m = tiles3d::poseToTransform(pose);
    const pt::Point3d p{1.5, -2.0, 0.25};
    const pt::Point3d expected = fw::transformPoint(pose, p);
    for (int r = 0; r < 3; ++r) {
        const double got = m[r] * p.x + m[4 + r] * p.y + m[8 + r] * p.z + m[12 + r];
        EXPECT_NEAR(got, r == 0 ? expected.x : r == 1 ? expected.y : expected.z, 1e-12);
    }
    EXPECT_EQ(m[3], 0.0);
    EXPECT_EQ(m[15], 1.0);
}

TEST(PointCloudTilesBoxes, MergedBoxHoldsRotatedBoxes) {
    const tiles3d::Box local = {0, 0, 0, 4, 0, 0, 0, 2, 0, 0, 0, 1};
    const tiles3d::Box a = tiles3d::transformBox(local, rotatedPose(0.9, {0, 0, 0}));
    const tiles3d::Box b = tiles3d::transformBox(local, rotatedPose(-0.4, {3, 1, 0}));
    const tiles3d::Box merged = tiles3d::mergeBoxes(a, b);
    const std::vector<double> mv(merged.begin(), merged.end());
    for (const tiles3d::Box& part : {a, b})
        EXPECT_TRUE(boxInside(std::vector<double>(part.begin(), part.end()), mv));
    // Axis-aligned result.
    EXPECT_EQ(merged[4], 0.0);
    EXPECT_EQ(merged[6], 0.0);
    // The merge of a box with itself reaches |u| + |v| + |w| per axis.
    const tiles3d::Box self = tiles3d::mergeBoxes(a, a);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(self[3 + 4 * k], tiles3d::extent(a, k), 1e-12);
}

// ---- the writer

class PointCloudTilesTest : public ::testing::Test {
protected:
    testsupport::TempDir temp{"zel-pnts"};
    zel::Node parent{"parent", nullptr};
};

TEST_F(PointCloudTilesTest, TwoFramesReadByLoadersGl) {
    const std::string dir = temp.file("out/tiles");
    PointCloudTiles writer(dir, &parent);
    ASSERT_TRUE(writer.ready());
    const Cloud c1 = makeCloud(100), c2 = makeCloud(333);
    writer.handlePointCloud(message(makeFrame(5, rotatedPose(0.6, {100, 200, 50})), c1));
    writer.handlePointCloud(message(makeFrame(12, rotatedPose(-1.1, {140, 180, 55})), c2));

    const json report = readWithLoadersGl(dir);
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(report["master"]["version"], "1.0");
    const json& masterRoot = report["master"]["root"];
    ASSERT_EQ(masterRoot["children"].size(), 2u);
    EXPECT_EQ(masterRoot["children"][0]["uri"], "./5/tileset.json");
    EXPECT_EQ(masterRoot["children"][1]["uri"], "./12/tileset.json");
    expectNested(masterRoot);

    const Cloud* clouds[] = {&c1, &c2};
    ASSERT_EQ(report["frames"].size(), 2u);
    for (size_t f = 0; f < 2; ++f) {
        SCOPED_TRACE(f);
        const json& frame = report["frames"][f];
        const json& root = frame["root"];
        EXPECT_EQ(frame["version"], "1.0");
        EXPECT_EQ(root["geometricError"], 320);
        expectNested(root);
        // The frame's root box, moved by its transform, lies in the master's entry.
        const auto transform = root["transform"].get<std::vector<double>>();
        ASSERT_EQ(transform.size(), 16u);
        EXPECT_TRUE(boxInside(moved(boxOf(root), transform), boxOf(masterRoot["children"][f])));

        // The chain of level tiles, coarse to fine.
        const json* tile = &root;
        for (int level = 4; level >= 0; --level) {
            ASSERT_EQ((*tile)["children"].size(), 1u);
            tile = &(*tile)["children"][0];
            EXPECT_EQ((*tile)["uri"], std::to_string(level) + ".pnts");
            EXPECT_EQ((*tile)["geometricError"], 3 * level);
            const json& pnts = frame["pnts"][std::to_string(level) + ".pnts"];
            EXPECT_EQ(pnts["type"], "pnts");
            EXPECT_EQ(pnts["byteLength"], pnts["fileSize"]);
            // Level L: the indices whose highest power-of-two divisor (up to 16) is 2^L.
            const Cloud& c = *clouds[f];
            std::vector<double> positions;
            std::vector<int> colours;
            for (size_t i = 0; i < c.points.size(); ++i) {
                int l = 4;
                while (l > 0 && i % (size_t(1) << l)) --l;
                if (l != level) continue;
                positions.insert(positions.end(), {c.points[i].x, c.points[i].y, c.points[i].z});
                colours.insert(colours.end(), {c.colours[i].x, c.colours[i].y, c.colours[i].z});
            }
            EXPECT_EQ(pnts["pointsLength"], positions.size() / 3);
            EXPECT_EQ(pnts["positions"].get<std::vector<double>>(), positions);
            EXPECT_EQ(pnts["colors"].get<std::vector<int>>(), colours);
            // Every point of the level lies in the level's box.
            for (size_t i = 0; i < positions.size(); i += 3)
                EXPECT_TRUE(inside(boxOf(*tile), {positions[i], positions[i + 1], positions[i + 2]}, 1e-6))
                    << "level " << level << " point " << i / 3;
        }
        EXPECT_TRUE((*tile)["children"].empty());
    }
    const json& counts = report["frames"][0]["pnts"];
    const int expected[] = {50, 25, 12, 6, 7};
    for (int level = 0; level < 5; ++level)
        EXPECT_EQ(counts[std::to_string(level) + ".pnts"]["pointsLength"], expected[level]) << level;
}

TEST_F(PointCloudTilesTest, TilesetTextAndOutputItem) {
    const std::string dir = temp.file("tiles");
    PointCloudTiles writer(dir, &parent);
    const auto before = writer.outputs();
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before[0]->time, -1.0);
    EXPECT_TRUE(parent.outputs().empty());

    writer.handlePointCloud(message(makeFrame(3, rotatedPose(0.2, {1, 2, 3})), makeCloud(120)));
    writer.handlePointCloud(message(makeFrame(3, rotatedPose(0.2, {1, 2, 3})), makeCloud(120)));

    const json master = json::parse(readFile(fs::path(dir) / "tileset.json"));
    EXPECT_EQ(master["asset"]["gltfUpAxis"], "Z");
    EXPECT_EQ(master["geometricError"], 2000);
    EXPECT_EQ(master["root"]["refine"], "ADD");
    EXPECT_EQ(master["root"]["geometricError"], 2000);
    // A frame id met twice gets a second entry.
    ASSERT_EQ(master["root"]["children"].size(), 2u);
    EXPECT_EQ(master["root"]["children"][1]["refine"], "ADD");
    EXPECT_EQ(master["root"]["children"][1]["geometricError"], 15);
    const json frame = json::parse(readFile(fs::path(dir) / "3" / "tileset.json"));
    EXPECT_EQ(frame["root"]["refine"], "ADD");
    EXPECT_EQ(frame["geometricError"], 15);
    EXPECT_EQ(frame["root"]["children"][0]["refine"], "ADD");
    // Written through temporary files that are gone once renamed.
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();

    const auto items = parent.outputs();
    ASSERT_EQ(items.size(), 1u);
    auto* item = dynamic_cast<zel::Tileset3D*>(items[0].get());
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->name, "pointcloud_01");
    EXPECT_EQ(zel::code(item->type), 112);
    EXPECT_EQ(item->tilesetType, 10);
    EXPECT_EQ(item->storageType, 1);
    EXPECT_EQ(item->path, (fs::path(dir) / "tileset.json").string());
    EXPECT_GT(item->time, 1.6e9);
}

// A frame whose files cannot be written is left out of the master and
// counted; the item reaches state 10 only with a whole frame on disk.
TEST_F(PointCloudTilesTest, FilesNotWrittenAreCountedAndLeftOut) {
    const std::string dir = temp.file("lost");
    PointCloudTiles writer(dir, &parent);
    std::ofstream(fs::path(dir) / "4") << "a file where frame 4's folder goes";
    writer.handlePointCloud(message(makeFrame(4, rotatedPose(0.1, {0, 0, 0})), makeCloud(160)));
    {
        const auto items = parent.outputs();
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0]->state, zel::ItemState::New);
        EXPECT_EQ(items[0]->filesLost, 6);  // five levels and the frame tileset
        EXPECT_FALSE(fs::exists(fs::path(dir) / "tileset.json"));
    }
    writer.handlePointCloud(message(makeFrame(5, rotatedPose(0.1, {1, 0, 0})), makeCloud(160)));
    const auto items = parent.outputs();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->state, zel::ItemState::Updating);
    EXPECT_EQ(items[0]->filesLost, 6);
    const json master = json::parse(readFile(fs::path(dir) / "tileset.json"));
    ASSERT_EQ(master["root"]["children"].size(), 1u);
    EXPECT_EQ(master["root"]["children"][0]["content"]["uri"], "./5/tileset.json");
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
}

TEST_F(PointCloudTilesTest, FlatCloudHasZeroHalfExtent) {
    const std::string dir = temp.file("flat");
    PointCloudTiles writer(dir, &parent);
    writer.handlePointCloud(message(makeFrame(1, fw::SE3()), makeCloud(100, true)));
    const json frame = json::parse(readFile(fs::path(dir) / "1" / "tileset.json"));
    const auto box = frame["root"]["boundingVolume"]["box"].get<std::vector<double>>();
    EXPECT_EQ(box[2], 7.5);
    EXPECT_EQ(box[11], 0.0);
    // The box reaches the outer (level 0) points, not only level 4's.
    EXPECT_DOUBLE_EQ(box[0] + box[3], 3.0 * (9 - 4.5));
    EXPECT_DOUBLE_EQ(box[0] - box[3], 3.0 * (1 - 4.5));
    const json report = readWithLoadersGl(dir);
    ASSERT_TRUE(report.is_object());
    expectNested(report["frames"][0]["root"]);
}

TEST_F(PointCloudTilesTest, RefusedMessagesWriteNothing) {
    const std::string dir = temp.file("refused");
    PointCloudTiles writer(dir, &parent);
    testsupport::CapturedLog log;
    writer.handlePointCloud(message(makeFrame(1, fw::SE3()), makeCloud(99)));
    EXPECT_TRUE(log.texts(fw::kError).empty());  // too few points: silently ignored

    Cloud shortColours = makeCloud(150);
    shortColours.colours.resize(149);
    writer.handlePointCloud(message(makeFrame(2, fw::SE3()), shortColours));
    ASSERT_EQ(log.texts(fw::kError).size(), 1u);
    EXPECT_NE(log.texts(fw::kError)[0].find("colours"), std::string::npos);

    writer.handlePointCloud(message(nullptr, makeCloud(150)));
    EXPECT_EQ(log.texts(fw::kError).size(), 2u);

    // A message of another shape throws the value library's exception.
    EXPECT_THROW(writer.handlePointCloud(dv::Var(std::vector<dv::Var>{dv::Var(1), dv::Var(2)})), dv::VarException);

    EXPECT_TRUE(fs::is_empty(dir));
    EXPECT_EQ(writer.outputs()[0]->time, -1.0);
}

namespace {

class StoppedWriter : public PointCloudTiles {
public:
    StoppedWriter(const std::string& dir, zel::Node* parent)
        : PointCloudTiles(dir, parent, [](const std::string&) { return false; }) {}
};

}  // namespace

TEST_F(PointCloudTilesTest, WriterWithoutFolderRefusesMessages) {
    testsupport::CapturedLog log;
    const std::string dir = temp.file("never");
    StoppedWriter writer(dir, &parent);
    ASSERT_EQ(log.texts(fw::kError).size(), 1u);
    EXPECT_NE(log.texts(fw::kError)[0].find("Failed to create directory: " + dir), std::string::npos);
    EXPECT_FALSE(writer.ready());
    EXPECT_TRUE(writer.outputs().empty());

    writer.handlePointCloud(message(makeFrame(1, fw::SE3()), makeCloud(200)));
    EXPECT_EQ(log.texts(fw::kError).size(), 2u);
    // Not subscribed either.
    fw::Messenger::instance().publish("sbt.out.pcd", message(makeFrame(1, fw::SE3()), makeCloud(200)));
    EXPECT_EQ(log.texts(fw::kError).size(), 2u);
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_TRUE(parent.outputs().empty());
}

TEST_F(PointCloudTilesTest, FolderErrorsThrowFromConstruction) {
    const std::string file = temp.write("plain", "x");
    EXPECT_THROW(PointCloudTiles(file + "/sub", &parent), fs::filesystem_error);
}

TEST_F(PointCloudTilesTest, TopicDeliversUntilDestroyed) {
    const std::string dir = temp.file("topic");
    {
        PointCloudTiles writer(dir, &parent);
        fw::Messenger::instance().publish("sbt.out.pcd", message(makeFrame(8, fw::SE3()), makeCloud(100)));
        EXPECT_TRUE(fs::exists(fs::path(dir) / "8" / "4.pnts"));
    }
    fw::Messenger::instance().publish("sbt.out.pcd", message(makeFrame(9, fw::SE3()), makeCloud(100)));
    EXPECT_FALSE(fs::exists(fs::path(dir) / "9"));
}
