// Loading a frame's image, the depth range of its sparse points, and the
// release of the frame's pixels.

#include "stereo_dense/image_scaled.h"

#include "fw/dense_map_frame.h"
#include "fw/map_point.h"
#include "testsupport/captured_log.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <sys/stat.h>

#include <random>

namespace {

using testsupport::CapturedLog;

std::shared_ptr<MapFrame> frameAt(const std::string& path, const fw::GImage& image = fw::GImage()) {
    auto camera = fw::CameraImpl::create({200, 100, 100, 100, 100, 50});
    return std::make_shared<MapFrame>(7, 0.0, image, path, camera, std::vector<double>{}, 1);
}

TEST(ImageScaledTest, LoadsEveryStoredFormatAsEightBitBgr) {
    testsupport::TempDir dir;
    struct Case {
        const char* name;
        cv::Mat image;
        cv::Vec3b expected;  // at (0, 0)
    };
    const Case cases[] = {
        {"grey.png", cv::Mat(8, 6, CV_8UC1, cv::Scalar(90)), {90, 90, 90}},
        {"bgr.png", cv::Mat(8, 6, CV_8UC3, cv::Scalar(10, 20, 30)), {10, 20, 30}},
        {"bgra.png", cv::Mat(8, 6, CV_8UC4, cv::Scalar(10, 20, 30, 40)), {10, 20, 30}},
        {"deep.png", cv::Mat(8, 6, CV_16UC3, cv::Scalar(257 * 10, 257 * 20, 65535)), {10, 20, 255}},
        {"deepgrey.png", cv::Mat(8, 6, CV_16UC1, cv::Scalar(257 * 200)), {200, 200, 200}},
        {"photo.jpg", cv::Mat(8, 6, CV_8UC3, cv::Scalar(100, 100, 100)), {100, 100, 100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(c.name);
        ASSERT_TRUE(cv::imwrite(path, c.image));
        ImageScaled record;
        record.frame = frameAt(path);
        record.loadImage();
        ASSERT_EQ(record.image.type(), CV_8UC3);
        EXPECT_EQ(record.image.size(), cv::Size(6, 8));
        const cv::Vec3b got = record.image.at<cv::Vec3b>(0, 0);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(got[k], c.expected[k], 1) << k;
    }
}

TEST(ImageScaledTest, UnreadableImagesLeaveItEmptyWithTheErrorLine) {
    testsupport::TempDir dir;
    const std::string fifo = dir.file("pipe.png");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string garbage = dir.write("garbage.png", "not an image at all");
    const std::string empty = dir.write("empty.png", "");
    for (const std::string& path : {dir.file("missing.png"), fifo, garbage, empty, dir.path(), std::string()}) {
        SCOPED_TRACE(path);
        CapturedLog log;
        ImageScaled record;
        record.frame = frameAt(path);
        record.loadImage();  // a FIFO without a writer must not block
        EXPECT_TRUE(record.image.empty());
        EXPECT_EQ(log.count("ImageScaled: Wrong Path! " + path, fw::kError), 1u);
    }
}

// The loader's checks hold here too: an image above the pixel cap and a JPEG
// cut short give no pixels, with the loader's reason.
TEST(ImageScaledTest, ImagesTheLoaderRefusesGiveNoPixels) {
    testsupport::TempDir dir;
    std::vector<unsigned char> jpeg;
    cv::Mat noise(256, 256, CV_8UC3);
    cv::randu(noise, 0, 256);
    ASSERT_TRUE(cv::imencode(".jpg", noise, jpeg));
    std::string bytes(jpeg.begin(), jpeg.end());
    const std::string cut = dir.write("cut.jpg", bytes.substr(0, bytes.size() / 2));
    // The frame header (SOF0) states 30000 x 30000 pixels.
    const size_t sof = bytes.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    for (int k : {5, 7}) {
        bytes[sof + size_t(k)] = char(30000 >> 8);
        bytes[sof + size_t(k) + 1] = char(30000 & 0xFF);
    }
    const std::string huge = dir.write("huge.jpg", bytes);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {huge, "Failed to decode " + huge + ": 30000 x 30000 pixels, above the cap of 120000000 pixels"},
        {cut, "Failed to decode " + cut + ": the image data ends before its last scan"},
        {dir.file("missing.jpg"), "Failed to open " + dir.file("missing.jpg")},
    };
    for (const auto& [path, reason] : cases) {
        SCOPED_TRACE(path);
        CapturedLog log;
        ImageScaled record;
        record.frame = frameAt(path);
        record.loadImage();
        EXPECT_TRUE(record.image.empty());
        EXPECT_EQ(record.loadFailure, reason);
        EXPECT_EQ(log.count("ImageScaled: Wrong Path! " + path, fw::kError), 1u);
    }
}

TEST(ImageScaledTest, AnImageAlreadyHeldIsKept) {
    ImageScaled record;
    record.frame = frameAt("/nonexistent.png");
    record.image = cv::Mat(2, 2, CV_8UC3, cv::Scalar(1, 2, 3));
    CapturedLog log;
    record.loadImage();
    EXPECT_EQ(record.image.at<cv::Vec3b>(0, 0), cv::Vec3b(1, 2, 3));
    EXPECT_EQ(log.records().size(), 0u);
}

TEST(ImageScaledTest, DestructionReleasesTheFramesPixelsOnly) {
    const fw::GImage pixels(cv::Mat(4, 4, CV_8UC3, cv::Scalar(5, 5, 5)));
    std::shared_ptr<MapFrame> frame = frameAt("x.png", pixels);
    ASSERT_FALSE(frame->getImage(0, 0).empty());
    {
        auto record = std::make_shared<ImageScaled>();
        record->frame = frame;
    }
    EXPECT_TRUE(frame->getImage(0, 0).empty());
    EXPECT_EQ(frame->id, 7u);
}

// A frame with an identity pose whose keypoints at the principal point see
// points at the given depths.
std::shared_ptr<MapFrame> frameWithDepths(const std::vector<double>& depths) {
    auto frame = frameAt("none.png");
    std::vector<fw::KeyPoint> keypoints(depths.size());
    for (auto& k : keypoints) {
        k.x = 100.0f;
        k.y = 50.0f;
    }
    frame->setKeyPoints(keypoints, fw::GImage());
    for (size_t i = 0; i < depths.size(); ++i)
        frame->addObservation(std::make_shared<fw::MapPoint>(i + 1, pt::Point3d(0, 0, depths[i])), i, false);
    return frame;
}

TEST(DepthRangeTest, Table) {
    std::mt19937 rng(5);
    std::vector<double> forty;
    for (int i = 0; i < 40; ++i) forty.push_back(20.0 + i * 0.5);
    std::shuffle(forty.begin(), forty.end(), rng);

    std::vector<double> dense;  // 980 between 40 and 60, 20 scattered up to 500
    std::uniform_real_distribution<double> level(40.0, 60.0), scattered(70.0, 500.0);
    for (int i = 0; i < 1000; ++i) dense.push_back(i % 50 == 7 ? scattered(rng) : level(rng));

    std::vector<double> increasing;
    for (int i = 0; i < 200; ++i) increasing.push_back(10.0 + i * 0.01);
    increasing.push_back(90.0);  // far from the rest: noise

    struct Case {
        const char* name;
        std::vector<double> depths;
        double min, max;
        bool fallback;
    };
    const Case cases[] = {
        {"40 points: no cluster, 2 % and 98 %", forty, 20.0, 39.5, true},
        {"dense level with scattered outliers", dense, 40.0, 60.0, false},
        {"increasing order", increasing, 10.0, 11.99, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CapturedLog log;
        double dmin = 0, dmax = 0;
        ASSERT_TRUE(ImageScaled::computeDepthRange(frameWithDepths(c.depths), fw::SE3(), dmin, dmax));
        if (c.fallback) {
            EXPECT_DOUBLE_EQ(dmin, c.min);
            EXPECT_DOUBLE_EQ(dmax, c.max);
            EXPECT_EQ(log.count("No cluster detected, tackling by sorting depth", fw::kInfo), 1u);
            EXPECT_EQ(log.count("min_num = 0   max_num = 39", fw::kInfo), 1u);
        } else {
            EXPECT_GE(dmin, c.min - 1e-9);
            EXPECT_LE(dmax, c.max + 1e-9);
            EXPECT_LT(dmin, c.min + 0.5);
            EXPECT_GT(dmax, c.max - 0.5);
            EXPECT_EQ(log.count("No cluster detected"), 0u);
        }
    }
}

TEST(DepthRangeTest, MeasuredAlongTheRectifiedAxis) {
    // A quarter turn about x: the rectified z is the camera's -y.
    auto frame = frameAt("none.png");
    frame->setKeyPoints(std::vector<fw::KeyPoint>(1, fw::KeyPoint{0.0f, 0.0f}), fw::GImage());
    frame->addObservation(std::make_shared<fw::MapPoint>(1, pt::Point3d(-4, -2, 4)), 0, false);
    const double h = std::sqrt(0.5);
    double dmin = 0, dmax = 0;
    ASSERT_TRUE(ImageScaled::computeDepthRange(frame, fw::SE3(fw::SO3(-h, 0, 0, h), {}), dmin, dmax));
    // Pixel (0, 0) sees (-1, -0.5, 1) per unit depth: at depth 4, y = -2, so the rectified z is 2.
    EXPECT_NEAR(dmin, 2.0, 1e-9);
    EXPECT_NEAR(dmax, 2.0, 1e-9);
}

TEST(DepthRangeTest, NoObservedDepthFails) {
    double dmin = -1, dmax = -1;
    EXPECT_FALSE(ImageScaled::computeDepthRange(frameAt("none.png"), fw::SE3(), dmin, dmax));
    // Points behind the camera have no inverse depth.
    EXPECT_FALSE(ImageScaled::computeDepthRange(frameWithDepths({-5.0, 0.05}), fw::SE3(), dmin, dmax));
    EXPECT_FALSE(ImageScaled::computeDepthRange(nullptr, fw::SE3(), dmin, dmax));
    EXPECT_EQ(dmin, -1);
}

}  // namespace
