#include "fw/dense_map_frame.h"
#include "fw/geodetic.h"
#include "fw/map_point.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <cmath>

namespace {

std::shared_ptr<fw::CameraImpl> camera640() {
    return fw::CameraImpl::create({640, 480, 500, 500, 320, 240});
}

std::shared_ptr<MapFrame> frameWith(std::vector<double> gps, const fw::GImage& image = fw::GImage(),
                                    int colourFormat = 1) {
    return std::make_shared<MapFrame>(7, 12.5, image, "/data/img.jpg", camera640(), std::move(gps),
                                      colourFormat);
}

fw::KeyPoint kp(float x, float y) {
    fw::KeyPoint k;
    k.x = x;
    k.y = y;
    return k;
}

void expectTriple(const pt::Point3d& p, double x, double y, double z) {
    EXPECT_EQ(p.x, x);
    EXPECT_EQ(p.y, y);
    EXPECT_EQ(p.z, z);
}

// A map point that refuses every change.
class RefusingPoint : public fw::MapPoint {
public:
    using fw::MapPoint::MapPoint;
    bool addObservation(uint64_t, size_t) override { return false; }
    bool eraseObservation(uint64_t) override { return false; }
};

}  // namespace

TEST(DenseFrameGPS, AnswersFollowTheVectorLength) {
    std::vector<double> v(14);
    for (size_t i = 0; i < v.size(); ++i) v[i] = double(i) + 0.5;  // 0.5, 1.5, ...
    const auto first = [&](size_t n) { return std::vector<double>(v.begin(), v.begin() + n); };
    struct Case {
        size_t length;
        int attitudeCount;
        double attitudeFirst;   // NaN: no attitude
        double sigmaFirst;      // NaN: no attitude sigmas
        double relativeFirst;   // NaN: no relative altitude
    };
    const double none = std::nan("");
    // Attitude sigmas start at 8.5, 9.5 or 11.5 (all < 20), except where noted.
    const Case cases[] = {
        {0, 0, none, none, none},     {5, 0, none, none, none},     {6, 0, none, none, none},
        {8, 0, none, none, 6.5},      {11, 1, 5.5, 8.5, none},      {12, 1, 6.5, 9.5, none},
        {13, 0, none, none, none},    {14, 1, 8.5, 11.5, 6.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        auto f = frameWith(first(c.length));
        EXPECT_EQ(f->attitudeCount(), c.attitudeCount);
        pt::Point3d a;
        EXPECT_EQ(f->getAttitude(a), !std::isnan(c.attitudeFirst));
        if (!std::isnan(c.attitudeFirst)) {
            expectTriple(a, c.attitudeFirst, c.attitudeFirst + 1, c.attitudeFirst + 2);
        }
        pt::Point3d s;
        EXPECT_EQ(f->getAttitudeSigma(s), !std::isnan(c.sigmaFirst));
        if (!std::isnan(c.sigmaFirst)) {
            EXPECT_EQ(s.x, c.sigmaFirst);
        }
        pt::Point2d rel;
        EXPECT_EQ(f->getRelativeAltitude(rel), !std::isnan(c.relativeFirst));
        if (!std::isnan(c.relativeFirst)) {
            EXPECT_EQ(rel.x, c.relativeFirst);
            EXPECT_EQ(rel.y, c.relativeFirst + 1);
        }
        const bool hasPosition = c.length >= 6;
        EXPECT_EQ(f->gpsCount(), hasPosition ? 1 : 0);
        pt::Point3d lla, sigma;
        EXPECT_EQ(f->getGPSLLA(lla), hasPosition);
        EXPECT_EQ(f->getGPSLLASigma(sigma), hasPosition);
        if (hasPosition) {
            expectTriple(lla, 0.5, 1.5, 2.5);
            expectTriple(sigma, 3.5, 4.5, 5.5);
        }
    }
}

TEST(DenseFrameGPS, SigmaLimits) {
    // Longitude sigma 12: no receiver, yet the sigmas still answer.
    auto f = frameWith({114.1, 22.5, 30, 12.0, 1, 2});
    EXPECT_EQ(f->gpsCount(), 0);
    pt::Point3d p;
    EXPECT_FALSE(f->getGPSLLA(p));
    EXPECT_FALSE(f->getGPSECEF(p));
    EXPECT_TRUE(f->getGPSLLASigma(p));
    EXPECT_EQ(p.x, 12.0);

    // Length 11 with value 8 = 25: no attitude, still attitude sigmas.
    f = frameWith({114.1, 22.5, 30, 0.1, 0.1, -90, 10, 0, 25.0, 1, 1});
    EXPECT_FALSE(f->getAttitude(p));
    EXPECT_TRUE(f->getAttitudeSigma(p));
    EXPECT_EQ(p.x, 25.0);

    // Relative altitude with a sigma of 100 is returned but reported unreliable.
    f = frameWith({114.1, 22.5, 30, 0.1, 0.1, 0.2, 55.0, 100.0});
    pt::Point2d rel;
    EXPECT_FALSE(f->getRelativeAltitude(rel));
    EXPECT_EQ(rel.x, 55.0);

    // Earth-centred position: latitude is value 1, longitude value 0.
    f = frameWith({114.1, 22.5, 30, 0.1, 0.1, 0.2});
    ASSERT_TRUE(f->getGPSECEF(p));
    const pt::Point3d e = fw::geodeticToECEF(22.5, 114.1, 30);
    expectTriple(p, e.x, e.y, e.z);
}

TEST(DenseFrame, BasicsAndCommands) {
    cv::Mat pixels(4, 4, CV_8UC1, cv::Scalar(3));
    const fw::GImage image(pixels);
    auto f = frameWith({1, 2, 3, 0.1, 0.1, 0.1}, image, 5);
    EXPECT_EQ(f->type(), "DIYFrame");
    EXPECT_EQ(f->cameraCount(), 1);
    EXPECT_EQ(f->imageColorFormat(0), 5);
    EXPECT_EQ(f->getCamera(0), f->getCamera(3));
    EXPECT_EQ(f->getCamera(0)->typeName(), "PinHole");
    EXPECT_EQ(f->getImage(0, 0).data, pixels.data);
    EXPECT_TRUE(f->setImage(fw::GImage(), 0, 0));
    EXPECT_TRUE(f->getImage(0, 0).empty());
    EXPECT_EQ(f->getMedianDepth(), -1.0);

    std::string path;
    f->call("GetImagePath", &path);
    EXPECT_EQ(path, "/data/img.jpg");
    std::string other = "/elsewhere.png";
    f->call("SetImagePath", &other);
    f->call("GetImagePath", &path);
    EXPECT_EQ(path, "/elsewhere.png");

    std::vector<double> gps = {9};
    f->call("GetGPS", &gps);
    EXPECT_EQ(gps, (std::vector<double>{1, 2, 3, 0.1, 0.1, 0.1}));
    f->call("GetGPS", &f->gps);  // its own vector: nothing happens
    EXPECT_EQ(f->gps.size(), 6u);
    auto bare = frameWith({});
    gps = {9};
    bare->call("GetGPS", &gps);
    EXPECT_EQ(gps, std::vector<double>{9});

    ASSERT_TRUE(f->setKeyPoints({kp(10.5f, 20.25f)}, fw::GImage()));
    MapFrame::KeyPointQuery q{0, 0, 0};
    f->call("GetKeyPoint", &q);
    EXPECT_EQ(q.x, 10.5);
    EXPECT_EQ(q.y, 20.25);
    q = {5, -1, -1};  // out of range: untouched
    f->call("GetKeyPoint", &q);
    EXPECT_EQ(q.x, -1);
    f->call("Unknown", &q);
    f->call("GetImagePath", nullptr);

    // Links.
    auto link = std::make_shared<int>(4);
    EXPECT_TRUE(f->addLinkA(3, link));
    EXPECT_EQ(f->getLinkA(3), link);
    EXPECT_EQ(f->getLinkB(3), nullptr);
    fw::LinkMap links;
    EXPECT_TRUE(f->copyLinksA(links));
    EXPECT_EQ(links.size(), 1u);
    EXPECT_TRUE(f->eraseLinkA(3));
    EXPECT_FALSE(f->eraseLinkA(3));
    EXPECT_TRUE(f->addLinkB(1, link));
    EXPECT_TRUE(f->clearLinksB());
    EXPECT_TRUE(f->copyLinksB(links));
    EXPECT_TRUE(links.empty());
}

TEST(DenseFrameKeyPoints, ColoursRaysAndDescriptors) {
    // A 2 x 3 BGR image: pixel (row, col) = (10 r + c, 100 + c, 200 + r).
    cv::Mat bgr(2, 3, CV_8UC3);
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c) bgr.at<cv::Vec3b>(r, c) = cv::Vec3b(10 * r + c, 100 + c, 200 + r);
    cv::Mat bgra(2, 3, CV_8UC4);
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c) {
            const cv::Vec3b p = bgr.at<cv::Vec3b>(r, c);
            bgra.at<cv::Vec4b>(r, c) = cv::Vec4b(p[0], p[1], p[2], 255);
        }
    cv::Mat grey(2, 3, CV_8UC1, cv::Scalar(77));
    cv::Mat deep(2, 3, CV_16UC1, cv::Scalar(5));
    using C = pt::Point3_<unsigned char>;
    struct Case {
        const char* name;
        fw::GImage image;
        int format;
        C colour;  // of the keypoint at (2.7, 1.2): row 1, column 2
    } cases[] = {
        {"stored order", fw::GImage(bgr), 1, C(12, 102, 201)},
        {"reversed", fw::GImage(bgr), 0, C(201, 102, 12)},
        {"four channels", fw::GImage(bgra), 3, C(12, 102, 201)},
        {"grey", fw::GImage(grey), 1, C(77, 77, 77)},
        {"other type", fw::GImage(deep), 1, C(0, 0, 0)},
        {"no image", fw::GImage(), 1, C(255, 255, 255)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = frameWith({}, c.image, c.format);
        ASSERT_TRUE(f->setKeyPoints({kp(2.7f, 1.2f), kp(3.0f, 0.0f), kp(-1.5f, 0.0f)}, fw::GImage()));
        C colour;
        ASSERT_TRUE(f->getKeyPointColor(0, colour));
        EXPECT_EQ(colour.x, c.colour.x);
        EXPECT_EQ(colour.y, c.colour.y);
        EXPECT_EQ(colour.z, c.colour.z);
        // Outside the image: no pixel is read.
        for (int i : {1, 2}) {
            ASSERT_TRUE(f->getKeyPointColor(i, colour));
            EXPECT_EQ(colour.x, 255);
        }
    }

    // Rays through the camera, descriptors as row views.
    std::vector<unsigned char> rows(3 * 32);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = uint8_t(i);
    const fw::GImage descriptors(3, 32, CV_8UC1, rows.data(), true);
    auto f = frameWith({});
    ASSERT_TRUE(f->setKeyPoints({kp(820, 240), kp(320, 740), kp(0, 0)}, descriptors));
    EXPECT_EQ(f->keyPointCount(), 3u);
    const pt::Point3d ray = f->keyPoints[0].ray;
    expectTriple(ray, 1.0, 0.0, 1.0);
    EXPECT_EQ(f->getDescriptor(1).data, descriptors.data + 32);
    EXPECT_EQ(f->getDescriptor(1).rows, 1);
    EXPECT_EQ(f->getDescriptor(-1).data, descriptors.data);
    EXPECT_EQ(f->getDescriptor(-1).rows, 3);
    EXPECT_TRUE(f->getDescriptor(3).empty());
    const auto all = f->getKeyPoints();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1].y, 740);
    std::vector<pt::Point2f> positions = {{-1, -1}};
    EXPECT_TRUE(f->getKeyPointPositions(positions));
    ASSERT_EQ(positions.size(), 4u);
    EXPECT_EQ(positions[3].x, 0);
    fw::KeyPoint k;
    pt::Point2f p;
    EXPECT_FALSE(f->getKeyPoint(3, k));
    EXPECT_FALSE(f->getKeyPointPosition(-1, p));
}

TEST(DenseFrameKeyPoints, SearchGrid) {
    auto f = frameWith({});
    // Cells are 20 x 15 pixels on the 640 x 480 camera; rounding puts (25, 20) in cell (1, 1).
    const std::vector<fw::KeyPoint> points = {kp(25, 20),  kp(35, 20), kp(44, 30),
                                              kp(639, 10), kp(100, 479), kp(300, 200)};
    ASSERT_TRUE(f->setKeyPoints(points, fw::GImage()));
    // x = 639 rounds to cell 32 and y = 479 to cell 32: in no cell.
    EXPECT_TRUE(f->getFeaturesInArea(639, 10, 30, false).empty());
    EXPECT_TRUE(f->getFeaturesInArea(100, 479, 30, false).empty());
    for (const auto& cell : f->grid)
        for (size_t i : cell) EXPECT_TRUE(i != 3 && i != 4);

    // Around (30, 20) with r = 6: cells 1..2 by 0..2. Whole cells give keypoints
    // 0, 1 and 2; the exact test keeps those within 6 pixels.
    std::vector<size_t> found = f->getFeaturesInArea(30, 20, 6, false);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<size_t>{0, 1, 2}));
    found = f->getFeaturesInArea(30, 20, 6, true);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<size_t>{0, 1}));
    // Entirely off the map.
    EXPECT_TRUE(f->getFeaturesInArea(-100, 20, 5, false).empty());
    EXPECT_TRUE(f->getFeaturesInArea(30, 2000, 5, false).empty());
    EXPECT_TRUE(f->getFeaturesInArea(std::nanf(""), 20, 5, false).empty());

    // Setting keypoints again replaces the grid.
    ASSERT_TRUE(f->setKeyPoints({kp(300, 200)}, fw::GImage()));
    EXPECT_TRUE(f->getFeaturesInArea(30, 20, 6, false).empty());
    EXPECT_EQ(f->getFeaturesInArea(300, 200, 1, true), std::vector<size_t>{0});
}

TEST(DenseFrameObservations, AddEraseClear) {
    auto f = frameWith({});
    ASSERT_TRUE(f->setKeyPoints({kp(1, 1), kp(2, 2), kp(3, 3)}, fw::GImage()));
    const auto a = std::make_shared<fw::MapPoint>(100, pt::Point3d(0, 0, 5));
    const auto b = std::make_shared<fw::MapPoint>(200, pt::Point3d(0, 0, 0.05));

    EXPECT_TRUE(f->addObservation(a, 0, true));
    EXPECT_FALSE(f->addObservation(a, 1, true));   // the point is already observed
    EXPECT_FALSE(f->addObservation(b, 0, true));   // the keypoint already has a point
    EXPECT_FALSE(f->addObservation(b, 3, true));   // no such keypoint
    EXPECT_FALSE(f->addObservation(nullptr, 1, true));
    EXPECT_TRUE(f->addObservation(b, 2, false));
    EXPECT_EQ(a->getObservations().at(7), 0u);
    EXPECT_EQ(b->observationCount(), 0u);           // not updated
    EXPECT_EQ(f->observationCount(), 2);
    EXPECT_EQ(f->getKeyPointObservation(0), 100u);
    EXPECT_EQ(f->getKeyPointObservation(1), 0u);

    fw::ObservationMap obs = {{100, 9}};
    EXPECT_TRUE(f->copyObservations(obs));
    EXPECT_EQ(obs.at(100), 9u);  // not cleared first: the entry already there stays
    EXPECT_EQ(obs.at(200), 2u);

    pt::Point2d inv;
    ASSERT_TRUE(f->getKeyPointInverseDepth(0, inv));
    EXPECT_DOUBLE_EQ(inv.x, 0.2);
    EXPECT_EQ(inv.y, -1.0);
    EXPECT_FALSE(f->getKeyPointInverseDepth(2, inv));  // closer than 0.1
    EXPECT_FALSE(f->getKeyPointInverseDepth(1, inv));  // no point
    // Moving the camera 4 m forward leaves a depth of 1.
    f->setPose(fw::SE3(fw::SO3(), {0, 0, 4}));
    ASSERT_TRUE(f->getKeyPointInverseDepth(0, inv));
    EXPECT_DOUBLE_EQ(inv.x, 1.0);

    // A refusing point changes nothing when it is asked.
    const auto r = std::make_shared<RefusingPoint>(300);
    EXPECT_FALSE(f->addObservation(r, 1, true));
    EXPECT_EQ(f->observationCount(), 2);
    EXPECT_EQ(f->getKeyPointObservation(1), 0u);
    EXPECT_TRUE(f->addObservation(r, 1, false));
    EXPECT_FALSE(f->eraseObservation(r, true));
    EXPECT_EQ(f->observationCount(), 3);

    EXPECT_TRUE(f->eraseObservation(a, true));
    EXPECT_EQ(a->observationCount(), 0u);
    EXPECT_FALSE(f->eraseObservation(a, true));
    EXPECT_EQ(f->getKeyPointObservation(0), 0u);

    ASSERT_TRUE(a->addObservation(7, 0));
    EXPECT_TRUE(f->addObservation(a, 0, false));
    EXPECT_TRUE(f->clearObservations());
    EXPECT_EQ(f->observationCount(), 0);
    EXPECT_EQ(a->observationCount(), 0u);  // the point was told
    for (int i = 0; i < 3; ++i) EXPECT_EQ(f->getKeyPointObservation(i), 0u);
}

TEST(DenseFrameObservations, LowerMedianDepthIsCached) {
    auto f = frameWith({});
    std::vector<fw::KeyPoint> kps;
    for (int i = 0; i < 6; ++i) kps.push_back(kp(float(i), 0));
    ASSERT_TRUE(f->setKeyPoints(kps, fw::GImage()));
    EXPECT_EQ(f->getMedianDepth(), -1.0);  // no observations: not cached
    // Depths 4, 1, 3, 2 seen from a camera at z = -1 looking along +z.
    f->setPose(fw::SE3(fw::SO3(), {0, 0, -1}));
    const double z[] = {3, 0, 2, 1};
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(f->addObservation(std::make_shared<fw::MapPoint>(i + 1, pt::Point3d(1, 2, z[i])), size_t(i), true));
    EXPECT_EQ(f->getMedianDepth(), 2.0);
    ASSERT_TRUE(f->addObservation(std::make_shared<fw::MapPoint>(9, pt::Point3d(0, 0, 99)), 4, true));
    ASSERT_TRUE(f->addObservation(std::make_shared<fw::MapPoint>(10, pt::Point3d(0, 0, 98)), 5, true));
    EXPECT_EQ(f->getMedianDepth(), 2.0);
}

TEST(DenseFrameBoW, NoVocabularyGivesFalse) {
    // The default vocabulary file is not in the working folder.
    auto f = frameWith({});
    std::vector<unsigned char> rows(32, 1);
    ASSERT_TRUE(f->setKeyPoints({kp(1, 1)}, fw::GImage(1, 32, CV_8UC1, rows.data(), true)));
    fw::BowVector bow;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(f->copyBoWVector(bow));
    fw::FeatureVector fv;
    EXPECT_FALSE(f->copyFeatureVector(fv));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Could not open file sift_10_4_tf_l1.bow"),
              std::string::npos);
}
