#include "3dtiles/point_cloud_tiles.h"

#include "3dtiles/box_geometry.h"
#include "fw/log.h"
#include "fw/map_frame.h"
#include "zel/output_item.h"
#include "zel/wall_clock.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

using Points = std::vector<pt::Point3_<float>>;
using Colours = std::vector<pt::Point3_<unsigned char>>;

constexpr size_t kMinPoints = 100;
constexpr int kLevels = 5;

void putU32(std::ostream& out, uint32_t v) {
    const char b[4] = {char(v & 0xff), char((v >> 8) & 0xff), char((v >> 16) & 0xff), char((v >> 24) & 0xff)};
    out.write(b, 4);
}

void putF32(std::string& out, float f) {
    uint32_t bits = 0;
    static_assert(sizeof bits == sizeof f, "float32");
    std::memcpy(&bits, &f, 4);
    for (int i = 0; i < 4; ++i) out.push_back(char((bits >> (8 * i)) & 0xff));
}

dv::Var boxValue(const tiles3d::Box& box) { return dv::Var(std::vector<double>(box.begin(), box.end())); }

dv::Var asset() {
    dv::Var a = dv::Var::object();
    a["gltfUpAxis"] = "Z";
    a["version"] = "1.0";
    return a;
}

// Writes the bytes to a temporary file beside path and renames it over
// path, so readers never see a half-written file; false (logged, the
// temporary file removed) when the file could not be written whole.
bool writeWhole(const fs::path& path, const std::string& bytes) {
    fs::path temp = path;
    temp += ".tmp";
    std::error_code ec;
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (out) {
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            out.close();
        }
        if (!out) {
            FW_LOG(Error) << "PointCloudTiles: failed to write " << path.string();
            fs::remove(temp, ec);
            return false;
        }
    }
    fs::rename(temp, path, ec);
    if (ec) {
        FW_LOG(Error) << "PointCloudTiles: failed to replace " << path.string() << ": " << ec.message();
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

}  // namespace

PointCloudTiles::PointCloudTiles(std::string dir, zel::Node* parent)
    : PointCloudTiles(std::move(dir), parent, [](const std::string& path) {
          fs::create_directories(path);  // throws on a reported error
          return fs::is_directory(path);
      }) {}

PointCloudTiles::PointCloudTiles(std::string dir, zel::Node* parent,
                                 const std::function<bool(const std::string&)>& makeFolder)
    : zel::Node("pnts_tiling", parent), dir_(std::move(dir)) {
    if (!fs::is_directory(dir_) && !makeFolder(dir_)) {
        FW_LOG(Error) << "Failed to create directory: " << dir_;
        return;
    }
    subscriber_ = fw::Messenger::instance().subscribe("sbt.out.pcd", 0, &PointCloudTiles::handlePointCloud, this);

    tileset_ = dv::Var::object();
    tileset_["asset"] = asset();
    tileset_["geometricError"] = 2000;
    tileset_["refine"] = "ADD";
    dv::Var& root = tileset_["root"];
    root["boundingVolume"]["box"] = dv::Var();
    root["geometricError"] = 2000;
    root["refine"] = "ADD";
    root["children"] = dv::Var(std::vector<dv::Var>());

    auto item = std::make_shared<zel::Tileset3D>();
    item->name = "pointcloud_01";
    item->type = zel::ItemType::Tileset3D;
    item->state = zel::ItemState::New;
    item->time = -1.0;
    item->path = (fs::path(dir_) / "tileset.json").string();
    item->tilesetType = 10;
    item->storageType = 1;
    keepOutput(item);
    ready_ = true;
}

PointCloudTiles::~PointCloudTiles() {
    subscriber_.shutdown();
    std::lock_guard<std::mutex> lock(mutex_);  // a call under way finishes first
}

bool PointCloudTiles::writePnts(std::ostream& out, const Points& points, const Colours& colours) {
    if (colours.size() < points.size()) return false;
    const size_t n = points.size();
    std::string json = "{\"POINTS_LENGTH\":" + std::to_string(n) + ",\"POSITION\":{\"byteOffset\":0},\"RGB\":{" +
                       "\"byteOffset\":" + std::to_string(12 * n) + "}}";
    json.append(8 - (json.size() - 4) % 8, ' ');  // 28 + JSON ends on 8 bytes

    std::string body;
    body.reserve(15 * n + 8);
    for (const auto& p : points) {
        putF32(body, p.x);
        putF32(body, p.y);
        putF32(body, p.z);
    }
    for (size_t i = 0; i < n; ++i) {
        body.push_back(char(colours[i].x));
        body.push_back(char(colours[i].y));
        body.push_back(char(colours[i].z));
    }
    body.append(8 - body.size() % 8, ' ');

    out.write("pnts", 4);
    putU32(out, 1);
    putU32(out, uint32_t(28 + json.size() + body.size()));
    putU32(out, uint32_t(json.size()));
    putU32(out, uint32_t(body.size()));
    putU32(out, 0);
    putU32(out, 0);
    out.write(json.data(), std::streamsize(json.size()));
    out.write(body.data(), std::streamsize(body.size()));
    return true;
}

void PointCloudTiles::handlePointCloud(const dv::Var& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ready_) {
        FW_LOG(Error) << "PointCloudTiles: no output folder " << dir_ << ", point cloud dropped";
        return;
    }
    const auto frame = message[0].convert<std::shared_ptr<fw::MapFrame>>();
    const Points points = message[1].convert<Points>();
    const Colours colours = message[2].convert<Colours>();
    if (points.size() < kMinPoints) {
        // No points at all is named by the stage that found none.
        if (frame && !points.empty())
            FW_LOG(Warning) << "Frame " << frame->id << " left out of the point cloud: " << points.size()
                            << " points, fewer than " << kMinPoints;
        return;
    }
    if (!frame) {
        FW_LOG(Error) << "PointCloudTiles: point cloud without a frame dropped";
        return;
    }
    if (colours.size() < points.size()) {
        FW_LOG(Error) << "PointCloudTiles: frame " << frame->id << " has " << colours.size() << " colours for "
                      << points.size() << " points, dropped";
        return;
    }

    // Point i goes to the highest level L with i a multiple of 2^L.
    Points levelPoints[kLevels];
    Colours levelColours[kLevels];
    for (size_t i = 0; i < points.size(); ++i) {
        int level = kLevels - 1;
        while (level > 0 && i % (size_t(1) << level) != 0) --level;
        levelPoints[level].push_back(points[i]);
        levelColours[level].push_back(colours[i]);
    }

    // The box of every point: each level tile carries it, so it must hold the finest level too.
    const tiles3d::Box localBox = tiles3d::boundingBox(points);
    const fw::SE3 pose = frame->getPose();
    const std::array<double, 16> transform = tiles3d::poseToTransform(pose);
    const tiles3d::Box worldBox = tiles3d::transformBox(localBox, pose);

    const std::string id = std::to_string(frame->id);
    const fs::path folder = fs::path(dir_) / id;
    try {
        if (!fs::is_directory(folder)) fs::create_directories(folder);
    } catch (const std::exception& e) {
        FW_LOG(Error) << e.what();
    }
    // A frame is listed in the master only when all its files are whole.
    int64_t lost = 0;
    for (int level = 0; level < kLevels; ++level) {
        std::ostringstream bytes;
        writePnts(bytes, levelPoints[level], levelColours[level]);
        if (!writeWhole(folder / (std::to_string(level) + ".pnts"), bytes.str())) ++lost;
    }

    // Level tiles chained from coarse (4) to fine (0).
    dv::Var children = dv::Var(std::vector<dv::Var>());
    for (int level = 0; level < kLevels; ++level) {
        dv::Var tile = dv::Var::object();
        tile["geometricError"] = 3 * level;
        tile["refine"] = "ADD";
        tile["boundingVolume"]["box"] = boxValue(localBox);
        tile["content"]["uri"] = std::to_string(level) + ".pnts";
        tile["children"] = children;
        children = dv::Var(std::vector<dv::Var>{tile});
    }
    dv::Var frameTileset = dv::Var::object();
    frameTileset["asset"] = asset();
    frameTileset["geometricError"] = 15;
    frameTileset["refine"] = "ADD";
    dv::Var& root = frameTileset["root"];
    root["boundingVolume"]["box"] = boxValue(localBox);
    root["geometricError"] = 320;
    root["refine"] = "ADD";
    root["transform"] = dv::Var(std::vector<double>(transform.begin(), transform.end()));
    root["children"] = children;

    if (!writeWhole(folder / "tileset.json", dv::Json::dump(frameTileset))) ++lost;
    if (lost > 0) {
        filesLost_ += lost;
        FW_LOG(Error) << "PointCloudTiles: frame " << id << " left out, " << lost << " of its files not written";
    } else {
        appendEntry(id, worldBox);
    }
    // The master goes on disk after every frame that it lists: all whole frames so far.
    bool masterWritten = false;
    if (lost == 0) {
        masterWritten = writeWhole(fs::path(dir_) / "tileset.json", dv::Json::dump(tileset_));
        masterMissing_ = !masterWritten;
    }

    const std::vector<std::shared_ptr<zel::OutputItem>> items = outputs();
    if (items.empty()) return;
    std::shared_ptr<zel::OutputItem> item = items.front();
    if (auto* tiles = dynamic_cast<zel::Tileset3D*>(item.get())) {
        tiles->time = zel::wallClockSeconds();
        tiles->tilesetType = 10;
        if (lost == 0 && masterWritten) tiles->state = zel::ItemState::Updating;
        // The master missing counts as one file lost until a later write succeeds.
        tiles->filesLost = filesLost_ + (masterMissing_ ? 1 : 0);
    }
    setOutput(item);
}

void PointCloudTiles::appendEntry(const std::string& id, const tiles3d::Box& worldBox) {
    dv::Var& masterBox = tileset_["root"]["boundingVolume"]["box"];
    if (masterBox.isUndefined()) {
        masterBox = boxValue(worldBox);
    } else {
        const std::vector<double> current = masterBox.convert<std::vector<double>>();
        tiles3d::Box merged{};
        std::copy(current.begin(), current.begin() + std::min<size_t>(12, current.size()), merged.begin());
        masterBox = boxValue(tiles3d::mergeBoxes(merged, worldBox));
    }
    dv::Var entry = dv::Var::object();
    entry["geometricError"] = 15;
    entry["boundingVolume"]["box"] = boxValue(worldBox);
    entry["refine"] = "ADD";
    entry["content"]["uri"] = "./" + id + "/tileset.json";
    dv::Var& entries = tileset_["root"]["children"];
    std::vector<dv::Var> list = entries.convert<std::vector<dv::Var>>();
    list.push_back(entry);
    entries = dv::Var(std::move(list));
}
