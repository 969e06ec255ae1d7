// The folder and multi-file tile stores. Files written are checked with
// OpenCV's readers; the .tile form with the tile model's own reader.
#include "tile_store_fixtures.h"
#include "testsupport/captured_log.h"
#include "testsupport/temp_dir.h"
#include "tiles/png_codec.h"
#include "tiles/tile_manager_file_system.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <fstream>
#include <functional>

namespace fs = std::filesystem;
using testsupport::CapturedLog;
using tiletest::makeTile;

namespace {

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<uint8_t> encodeWith(const std::string& ext, const cv::Mat& m) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(cv::imencode(ext, m, bytes));
    return bytes;
}

std::vector<uint8_t> codecPng(const cv::Mat& bgr) {
    cv::Mat rgba;
    cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
    std::vector<uint8_t> png;
    EXPECT_TRUE(PngCodec::encodeImage(rgba.data, uint32_t(rgba.cols), uint32_t(rgba.rows), 4, png, 0));
    return png;
}

}  // namespace

TEST(FolderStore, PathsAndRoundTrip) {
    testsupport::TempDir dir;
    fw::TileManagerFileSystem<TerrainFusionMultiTile> store(dir.path());
    EXPECT_EQ(store.type(), "TileManagerFileSystem");
    EXPECT_EQ(store.tilePath(3, 5, 7), dir.path() + "/7/3/5.tile");
    auto tile = makeTile({3, 5, 7}, 1, 2.5);

    CapturedLog log;
    // The store makes no folder.
    EXPECT_FALSE(store.SetTile(3, 5, 7, tile));
    EXPECT_TRUE(log.contains("3,5,7", fw::kError));
    EXPECT_FALSE(store.SetTile(3, 5, 7, nullptr));
    EXPECT_EQ(store.GetTile(3, 5, 7), nullptr);

    fs::create_directories(dir.path() + "/7/3");
    ASSERT_TRUE(store.SetTile(3, 5, 7, tile));
    EXPECT_FALSE(fs::exists(store.tilePath(3, 5, 7) + ".part"));
    auto read = std::dynamic_pointer_cast<TerrainFusionMultiTile>(store.GetTile(3, 5, 7));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->getTileKey(), (TileKey{3, 5, 7}));
    EXPECT_EQ(read->getTimestamp(), 2.5);
    EXPECT_TRUE(tiletest::sameMat(read->weight, tile->weight));
    ASSERT_EQ(read->imagePyramid.size(), 2u);
    EXPECT_TRUE(tiletest::sameMat(read->imagePyramid[1], tile->imagePyramid[1]));
    EXPECT_EQ(read->image.data, nullptr);  // the serial form holds no image
}

class MultiFileStore : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    std::string folder = dir.path() + "/tiles";
    std::string dom = dir.path() + "/dom";
    std::string dsm = dir.path() + "/dsm";
};

TEST_F(MultiFileStore, WritesThreeFilesThatIndependentReadersRead) {
    TileManagerFileSystemMultiFile store(folder, dom, dsm);
    EXPECT_EQ(store.type(), "TileManagerFileSystemMultiFile");
    EXPECT_EQ(store.domTilePath(3, 5, 7), dom + "/7/7_3_5.png");
    EXPECT_EQ(store.dsmTilePath(3, 5, 7), dsm + "/7/7_3_5.tiff");
    auto tile = makeTile({3, 5, 7}, 4);
    ASSERT_TRUE(store.SetTile(3, 5, 7, tile));
    EXPECT_TRUE(fs::is_regular_file(folder + "/7/3/5.tile"));

    // The PNG: RGBA, colours of the image, alpha from the weight.
    const cv::Mat png = cv::imread(store.domTilePath(3, 5, 7), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(png.type(), CV_8UC4);
    cv::Mat bgr, alpha;
    cv::cvtColor(png, bgr, cv::COLOR_BGRA2BGR);
    cv::extractChannel(png, alpha, 3);
    EXPECT_TRUE(tiletest::sameMat(bgr, tile->image));
    EXPECT_EQ(alpha.at<uint8_t>(10, 10), 0);     // weight 0
    EXPECT_EQ(alpha.at<uint8_t>(10, 100), 255);  // weight 200

    // The TIFF: float elevation, -1e9 where the weight is 0.
    const cv::Mat tiff = cv::imread(store.dsmTilePath(3, 5, 7), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(tiff.type(), CV_32FC1);
    ASSERT_EQ(tiff.size(), cv::Size(64, 64));
    EXPECT_EQ(tiff.at<float>(5, 2), -1e9f);
    EXPECT_EQ(tiff.at<float>(5, 40), cv::Mat(tile->elevation).at<float>(5, 40));

    auto read = std::dynamic_pointer_cast<TerrainFusionMultiTile>(store.GetTile(3, 5, 7));
    ASSERT_TRUE(read);
    EXPECT_TRUE(tiletest::sameMat(read->image, tile->image));
    EXPECT_TRUE(tiletest::sameMat(read->weight, tile->weight));
    EXPECT_EQ(cv::Mat(read->elevation).at<float>(5, 2), -1000000000.0f);
    EXPECT_EQ(cv::Mat(read->elevation).at<float>(5, 40), cv::Mat(tile->elevation).at<float>(5, 40));
    EXPECT_FALSE(read->isModified());
    EXPECT_EQ(read->getTag(), 0u);
    for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
        EXPECT_NE(entry.path().extension(), ".part") << entry.path();
}

TEST_F(MultiFileStore, EmptyFoldersShareTheStoreFolder) {
    TileManagerFileSystemMultiFile store(folder, "", "");
    ASSERT_TRUE(store.SetTile(1, 2, 3, makeTile({1, 2, 3}, 1)));
    EXPECT_TRUE(fs::is_regular_file(folder + "/3/1/2.tile"));
    EXPECT_TRUE(fs::is_regular_file(folder + "/3/3_1_2.png"));
    EXPECT_TRUE(fs::is_regular_file(folder + "/3/3_1_2.tiff"));
}

TEST_F(MultiFileStore, TileWithoutImagesWritesOnlyItsSerialForm) {
    TileManagerFileSystemMultiFile store(folder, dom, dsm);
    auto tile = std::make_shared<TerrainFusionMultiTile>();
    EXPECT_TRUE(store.SetTile(1, 1, 1, tile));
    EXPECT_TRUE(fs::is_regular_file(store.tilePath(1, 1, 1)));
    EXPECT_FALSE(fs::exists(store.domTilePath(1, 1, 1)));
    EXPECT_FALSE(fs::exists(store.dsmTilePath(1, 1, 1)));
    // Without its images the tile cannot be read back.
    EXPECT_EQ(store.GetTile(1, 1, 1), nullptr);
}

// What makes a stored tile absent, and whether a WARNING says so.
TEST_F(MultiFileStore, DamagedOrMissingFilesMakeTheTileAbsent) {
    struct Case {
        const char* name;
        std::function<void(TileManagerFileSystemMultiFile&)> damage;
        bool warns;
    } cases[] = {
        {"TIFF missing", [](TileManagerFileSystemMultiFile& s) { fs::remove(s.dsmTilePath(2, 2, 4)); }, false},
        {"PNG missing", [](TileManagerFileSystemMultiFile& s) { fs::remove(s.domTilePath(2, 2, 4)); }, false},
        {".tile empty", [](TileManagerFileSystemMultiFile& s) { writeBytes(s.tilePath(2, 2, 4), {}); }, false},
        {"TIFF empty", [](TileManagerFileSystemMultiFile& s) { writeBytes(s.dsmTilePath(2, 2, 4), {}); }, false},
        {"PNG of another encoder",
         [](TileManagerFileSystemMultiFile& s) {
             writeBytes(s.domTilePath(2, 2, 4), encodeWith(".png", tiletest::orthoImage(1)));
         },
         true},
        {"PNG of another size",
         [](TileManagerFileSystemMultiFile& s) {
             writeBytes(s.domTilePath(2, 2, 4), codecPng(tiletest::orthoImage(1, 128)));
         },
         true},
        {"TIFF of another size",
         [](TileManagerFileSystemMultiFile& s) {
             writeBytes(s.dsmTilePath(2, 2, 4), encodeWith(".tiff", cv::Mat(32, 64, CV_32FC1, cv::Scalar(1))));
         },
         true},
        {"TIFF of another type",
         [](TileManagerFileSystemMultiFile& s) {
             writeBytes(s.dsmTilePath(2, 2, 4), encodeWith(".tiff", cv::Mat(64, 64, CV_8UC1, cv::Scalar(1))));
         },
         true},
        {"TIFF that does not decode",
         [](TileManagerFileSystemMultiFile& s) { writeBytes(s.dsmTilePath(2, 2, 4), {'I', 'I', 42, 0, 8, 0, 0, 0}); },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir d;
        TileManagerFileSystemMultiFile store(d.path(), "", "");
        ASSERT_TRUE(store.SetTile(2, 2, 4, makeTile({2, 2, 4}, 3)));
        ASSERT_NE(store.GetTile(2, 2, 4), nullptr);
        c.damage(store);
        CapturedLog log;
        EXPECT_EQ(store.GetTile(2, 2, 4), nullptr);
        EXPECT_EQ(log.contains("2,2,4", fw::kWarning), c.warns);
    }
}

TEST_F(MultiFileStore, PyramidLevelOfAnotherShapeMakesTheTileAbsent) {
    TileManagerFileSystemMultiFile store(folder, dom, dsm);
    auto tile = makeTile({0, 0, 2}, 1);
    tile->weightPyramid[1] = fw::GImage(cv::Mat(100, 128, CV_8UC1, cv::Scalar(1)));
    ASSERT_TRUE(store.SetTile(0, 0, 2, tile));
    CapturedLog log;
    EXPECT_EQ(store.GetTile(0, 0, 2), nullptr);
    EXPECT_TRUE(log.contains({"0,0,2", "pyramid level 1"}, fw::kWarning));
}

TEST_F(MultiFileStore, FailedWritesAreReportedWithTheKey) {
    TileManagerFileSystemMultiFile store(folder, dom, dsm);
    CapturedLog log;
    // A file where the DOM's zoom folder should be.
    std::ofstream(dom + "/6").put('x');
    EXPECT_FALSE(store.SetTile(9, 8, 6, makeTile({9, 8, 6}, 1)));
    EXPECT_TRUE(log.contains({"Can't write dom png file", "9,8,6"}, fw::kError));
    // Not a fused tile.
    EXPECT_FALSE(store.SetTile(1, 1, 1, std::make_shared<fw::ImageTile>()));
    EXPECT_TRUE(log.contains("Can't cast tile to TerrainFusionMultiTile: ImageTile", fw::kError));
    // An image OpenCV cannot take apart as BGR: reported, nothing thrown.
    auto odd = makeTile({1, 2, 1}, 1);
    odd->image = fw::GImage(cv::Mat(256, 256, CV_32FC2, cv::Scalar(1, 2)));
    EXPECT_FALSE(store.SetTile(1, 2, 1, odd));
    EXPECT_TRUE(log.contains({"Can't encode dom png file", "1,2,1"}, fw::kError));
}

TEST_F(MultiFileStore, RewriteReplacesTheFilesWhole) {
    TileManagerFileSystemMultiFile store(folder, dom, dsm);
    ASSERT_TRUE(store.SetTile(1, 1, 5, makeTile({1, 1, 5}, 1)));
    auto second = makeTile({1, 1, 5}, 2);
    ASSERT_TRUE(store.SetTile(1, 1, 5, second));
    auto read = store.GetTile(1, 1, 5);
    ASSERT_TRUE(read);
    EXPECT_TRUE(tiletest::sameMat(std::dynamic_pointer_cast<fw::ImageTile>(read)->image, second->image));
}

TEST_F(MultiFileStore, TimingReportAtDestruction) {
    {
        CapturedLog log;
        { TileManagerFileSystemMultiFile store(folder, dom, dsm); }
        EXPECT_TRUE(log.texts(fw::kInfo).empty());  // no samples, no lines
    }
    CapturedLog log;
    {
        TileManagerFileSystemMultiFile store(folder, dom, dsm);
        ASSERT_TRUE(store.SetTile(1, 1, 3, makeTile({1, 1, 3}, 1)));
        ASSERT_TRUE(store.SetTile(2, 1, 3, makeTile({2, 1, 3}, 2)));
        ASSERT_TRUE(store.GetTile(1, 1, 3));
        EXPECT_EQ(store.domWriteTimes().size(), 2u);
        EXPECT_EQ(store.demWriteTimes().front().size(), 3u);
        EXPECT_EQ(store.domReadTimes().size(), 1u);
    }
    EXPECT_TRUE(
        log.contains({"TileManagerFileSystemMultiFile - SetTile: dom write time: merge=", "ms, total="}, fw::kInfo));
    EXPECT_TRUE(log.contains({"TileManagerFileSystemMultiFile - SetTile: dem write time: encode=", ", write 2 tiles"},
                             fw::kInfo));
    EXPECT_TRUE(
        log.contains({"TileManagerFileSystemMultiFile - GetTile: dom read time: read=", ", read 1 tiles"}, fw::kInfo));
}

TEST(MultiFileStoreSetUp, FolderThatCannotBeMadeThrows) {
    testsupport::TempDir dir;
    std::ofstream(dir.file("file")).put('x');
    EXPECT_THROW(TileManagerFileSystemMultiFile(dir.file("file") + "/sub", "", ""), fs::filesystem_error);
}
