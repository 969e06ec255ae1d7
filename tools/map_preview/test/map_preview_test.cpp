// map_preview on tile folders written with OpenCV: the finest zoom (or the
// chosen one) stitched in place, scaled to the size asked for, transparent
// where no tile or no data is; the surface model lit from the north-west.
#include "testsupport/program_paths.h"
#include "testsupport/run_process.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>

using testsupport::runProcess;
namespace fs = std::filesystem;

namespace {

constexpr int kX = 214010, kY = 114250;  // zoom 18 near 22.5 N, 113.9 E

cv::Vec4b domColour(int x, int y) {
    return cv::Vec4b(static_cast<uint8_t>(20 + 80 * (x - kX)), static_cast<uint8_t>(50 + 100 * (y - kY)), 200, 255);
}

// A ridge along the boundary between the two DSM tiles, rising 0.5 m per cell.
float ridge(int column) { return static_cast<float>(40.0 - 0.5 * std::abs(column - 63.5)); }

class MapPreview : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        // DOM at zoom 18: three by two tiles, one missing, one half transparent.
        for (int y = kY; y < kY + 2; ++y)
            for (int x = kX; x < kX + 3; ++x) {
                if (x == kX + 2 && y == kY + 1) continue;
                cv::Mat tile(256, 256, CV_8UC4, cv::Scalar(domColour(x, y)));
                if (x == kX && y == kY + 1) tile(cv::Rect(128, 0, 128, 256)).setTo(cv::Scalar::all(0));
                writeTile(dom(), 18, x, y, ".png", tile);
            }
        writeTile(dom(), 17, kX / 2, kY / 2, ".png", cv::Mat(256, 256, CV_8UC3, cv::Scalar(5, 6, 7)));
        // Files that are no tiles of the folder.
        writeTile(dom(), 18, 1, 2, ".txt", cv::Mat(4, 4, CV_8UC3, cv::Scalar::all(0)));
        ASSERT_TRUE(cv::imwrite(dom() + "/18/18_1_2_3.png", cv::Mat(256, 256, CV_8UC3, cv::Scalar::all(9))));

        // DSM at zoom 18: two tiles side by side with a corner of no data.
        for (int x = kX; x < kX + 2; ++x) {
            cv::Mat tile(64, 64, CV_32FC1);
            for (int r = 0; r < 64; ++r)
                for (int c = 0; c < 64; ++c) tile.at<float>(r, c) = ridge((x - kX) * 64 + c);
            if (x == kX) tile(cv::Rect(0, 0, 10, 10)).setTo(-1e9);
            writeTile(dsm(), 18, x, kY, ".tiff", tile);
        }
        writeTile(dsm(), 17, kX / 2, kY / 2, ".tiff", cv::Mat(64, 64, CV_32FC1, cv::Scalar(12.0)));
    }

    static void writeTile(const std::string& folder, int z, int x, int y, const std::string& ext, const cv::Mat& tile) {
        fs::create_directories(folder + "/" + std::to_string(z));
        const std::string path = folder + "/" + std::to_string(z) + "/" + std::to_string(z) + "_" + std::to_string(x) +
                                 "_" + std::to_string(y) + ext;
        if (ext == ".txt") {
            std::ofstream(path) << "not a tile";
            return;
        }
        ASSERT_TRUE(cv::imwrite(path, tile)) << path;
    }

    std::string dom() const { return dir.file("dom"); }
    std::string dsm() const { return dir.file("dsm"); }
    std::string out() const { return dir.file("out"); }

    testsupport::ProcessResult run(std::vector<std::string> options) const {
        options.insert(options.begin(), testsupport::kMapPreviewPath);
        options.insert(options.end(), {dom(), dsm(), out()});
        return runProcess(options);
    }

    testsupport::TempDir dir{"map-preview"};
};

}  // namespace

TEST_F(MapPreview, FinestZoomScaledToTheSize) {
    const auto r = run({"--size", "384"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, out() + "/dom_preview.png\n" + out() + "/dsm_preview.png\n");
    for (const char* name : {"/dom_preview.png", "/dsm_preview.png"}) {
        const auto check = runProcess({testsupport::kPngcheckPath, "-q", out() + name});
        EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    }
    const cv::Mat picture = cv::imread(out() + "/dom_preview.png", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(picture.type(), CV_8UC4);
    ASSERT_EQ(picture.size(), cv::Size(384, 256));  // 768 x 512 halved
    for (int y = kY; y < kY + 2; ++y)
        for (int x = kX; x < kX + 3; ++x) {
            const cv::Point centre((x - kX) * 128 + 64, (y - kY) * 128 + 64);
            const cv::Point left = centre - cv::Point(32, 0), right = centre + cv::Point(32, 0);
            if (x == kX + 2 && y == kY + 1) {
                EXPECT_EQ(picture.at<cv::Vec4b>(centre)[3], 0) << "missing tile";
            } else if (x == kX && y == kY + 1) {
                EXPECT_EQ(picture.at<cv::Vec4b>(left), domColour(x, y));
                EXPECT_EQ(picture.at<cv::Vec4b>(right)[3], 0) << "transparent half";
            } else {
                EXPECT_EQ(picture.at<cv::Vec4b>(left), domColour(x, y)) << x << " " << y;
                EXPECT_EQ(picture.at<cv::Vec4b>(right), domColour(x, y)) << x << " " << y;
            }
        }

    // 128 x 64 cells fit the size: one picture pixel per cell.
    const cv::Mat shaded = cv::imread(out() + "/dsm_preview.png", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(shaded.type(), CV_8UC4);
    ASSERT_EQ(shaded.size(), cv::Size(128, 64));
    EXPECT_EQ(shaded.at<cv::Vec4b>(5, 5)[3], 0) << "no data";
    EXPECT_EQ(shaded.at<cv::Vec4b>(30, 30)[3], 255);
    // The slope facing west is lit, the one facing east in shade; both at one height.
    const cv::Vec4b west = shaded.at<cv::Vec4b>(40, 43), east = shaded.at<cv::Vec4b>(40, 84);
    ASSERT_EQ(ridge(43), ridge(84));
    EXPECT_GT(west[0] + west[1] + west[2], east[0] + east[1] + east[2] + 60);
}

TEST_F(MapPreview, ChosenZoom) {
    const auto r = run({"--zoom", "17"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const cv::Mat picture = cv::imread(out() + "/dom_preview.png", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(picture.size(), cv::Size(256, 256));
    EXPECT_EQ(picture.at<cv::Vec4b>(100, 100), cv::Vec4b(5, 6, 7, 255));
    const cv::Mat shaded = cv::imread(out() + "/dsm_preview.png", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(shaded.size(), cv::Size(64, 64));
    EXPECT_EQ(shaded.at<cv::Vec4b>(32, 32)[3], 255);
}

TEST_F(MapPreview, Refusals) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{testsupport::kMapPreviewPath, dom(), dsm()}, "usage: map_preview"},
        {{testsupport::kMapPreviewPath, "--zoom", "x", dom(), dsm(), out()}, "usage: map_preview"},
        {{testsupport::kMapPreviewPath, "--zoom", "16", dom(), dsm(), out()}, "no tiles at zoom 16 in " + dom()},
        {{testsupport::kMapPreviewPath, dir.file("none"), dsm(), out()}, "no tiles in " + dir.file("none")},
        {{testsupport::kMapPreviewPath, dom(), dom(), out()}, "no tiles in " + dom()},  // no .tiff there
    };
    for (const Case& c : cases) {
        const auto r = runProcess(c.args);
        EXPECT_EQ(r.exitCode, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(fs::exists(out()));
}
