#include "fw/map.h"
#include "fw/map_frame.h"
#include "fw/map_point.h"

#include <gtest/gtest.h>

namespace {

void expectIdentity(const fw::SE3& p) {
    EXPECT_EQ(p.rotation.x, 0);
    EXPECT_EQ(p.rotation.y, 0);
    EXPECT_EQ(p.rotation.z, 0);
    EXPECT_EQ(p.rotation.w, 1);
    EXPECT_EQ(p.translation.x, 0);
    EXPECT_EQ(p.translation.y, 0);
    EXPECT_EQ(p.translation.z, 0);
}

// Overrides only the copy operations: the get operations must use them.
class CopyingFrame : public fw::MapFrame {
public:
    using fw::MapFrame::MapFrame;
    bool copyKeyPoints(std::vector<fw::KeyPoint>& out) override {
        fw::KeyPoint k;
        k.x = 3;
        out.push_back(k);
        return true;
    }
    bool copyBoWVector(fw::BowVector& out) override {
        out[7] = 0.5f;
        return true;
    }
    bool copyObservations(fw::ObservationMap& out) override {
        out[11] = 2;
        return true;
    }
    std::string type() const override { return "Copying"; }
};

}  // namespace

TEST(MapFrameBase, BareFrameAnswersAbsence) {
    const auto frame = std::make_shared<fw::MapFrame>(42, 1234.5);
    EXPECT_EQ(frame->id, 42u);
    EXPECT_EQ(frame->timestamp, 1234.5);
    EXPECT_TRUE(frame->label.empty());
    EXPECT_EQ(frame->type(), "InvalidFrame");
    EXPECT_EQ(frame->cameraCount(), 0);
    EXPECT_EQ(frame->attitudeCount(), 0);
    EXPECT_EQ(frame->gpsCount(), 0);
    EXPECT_EQ(frame->keyPointCount(), 0u);
    EXPECT_EQ(frame->observationCount(), 0);
    EXPECT_EQ(frame->imageColorFormat(0), 2);
    expectIdentity(frame->getCameraPose(0));
    expectIdentity(frame->getAttitudePose(0));
    expectIdentity(frame->getGPSPose(0));
    expectIdentity(frame->getPose());
    EXPECT_EQ(frame->getMedianDepth(), 1.0);

    pt::Point3d p3(5, 5, 5);
    pt::Point2d p2(5, 5);
    pt::Point2f pf;
    fw::KeyPoint kp;
    pt::Point3_<unsigned char> colour;
    std::vector<pt::Point2f> positions;
    std::vector<fw::KeyPoint> keypoints;
    fw::BowVector bow;
    fw::FeatureVector features;
    fw::ObservationMap observations;
    fw::LinkMap links;
    const auto point = std::make_shared<fw::MapPoint>(9);
    const bool answers[] = {
        frame->setImage(fw::GImage(2, 2, CV_8UC1), 0, 0),
        frame->imageHook(),
        frame->attitudeHookA(), frame->attitudeHookB(), frame->attitudeHookC(),
        frame->attitudeHookD(), frame->attitudeHookE(),
        frame->getAttitude(p3), frame->getAttitudeSigma(p3),
        frame->getGPSLLA(p3), frame->getGPSLLASigma(p3), frame->getGPSECEF(p3),
        frame->getRelativeAltitude(p2),
        frame->setKeyPoints({kp}, fw::GImage()),
        frame->keyPointHook(1, 2, 3, "text"),
        frame->getKeyPoint(0, kp), frame->getKeyPointPosition(0, pf),
        frame->copyKeyPoints(keypoints),
        frame->getKeyPointPositions(positions), frame->getKeyPointColor(0, colour),
        frame->getKeyPointInverseDepth(0, p2),
        frame->copyBoWVector(bow), frame->copyFeatureVector(features),
        frame->copyObservations(observations),
        frame->addObservation(point, 0, true), frame->eraseObservation(point, true),
        frame->clearObservations(),
        frame->copyLinksA(links), frame->copyLinksB(links),
        frame->addLinkA(1, point), frame->addLinkB(1, point),
        frame->eraseLinkA(1), frame->eraseLinkB(1), frame->clearLinksA(), frame->clearLinksB(),
        frame->hookB(), frame->hookC(),
    };
    for (size_t i = 0; i < std::size(answers); ++i) EXPECT_FALSE(answers[i]) << i;
    // Outputs are left alone.
    EXPECT_EQ(p3.x, 5);
    EXPECT_EQ(p2.x, 5);
    EXPECT_TRUE(positions.empty());
    EXPECT_EQ(point->observationCount(), 0u);
    EXPECT_EQ(frame->getKeyPointObservation(0), 0u);
    EXPECT_TRUE(frame->getImage(0, 0).empty());
    EXPECT_TRUE(frame->getDescriptor(0).empty());
    EXPECT_TRUE(frame->getKeyPoints().empty());
    EXPECT_TRUE(frame->getBoWVector().empty());
    EXPECT_TRUE(frame->getFeatureVector().empty());
    EXPECT_TRUE(frame->getObservations().empty());
    EXPECT_TRUE(frame->getFeaturesInArea(1, 1, 10, true).empty());
    EXPECT_EQ(frame->getLinkA(1), nullptr);
    EXPECT_EQ(frame->getLinkB(1), nullptr);
    int arg = 3;
    frame->call("GetImagePath", &arg);  // does nothing
    frame->hookA();
    EXPECT_EQ(arg, 3);
}

TEST(MapFrameBase, EachCameraIsNewAndInvalid) {
    fw::MapFrame frame(1, 0);
    const auto a = frame.getCamera(0), b = frame.getCamera(0);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->width, -1);
    EXPECT_EQ(a->height, -1);
    EXPECT_EQ(a->typeName(), "NoCamera");
    EXPECT_FALSE(a->isValid());
}

TEST(MapFrameBase, PoseAndMedianDepth) {
    fw::MapFrame frame(1, 0);
    const fw::SE3 se3(fw::SO3(0, 0, std::sqrt(0.5), std::sqrt(0.5)), {1, 2, 3});
    frame.setPose(fw::SIM3(se3, 2.5));
    EXPECT_EQ(frame.getMedianDepth(), 2.5);
    fw::SE3 got = frame.getPose();
    EXPECT_EQ(got.rotation.z, std::sqrt(0.5));
    EXPECT_EQ(got.translation.y, 2);
    // Rotation and translation only: the scale stays.
    frame.setPose(fw::SE3());
    expectIdentity(frame.getPose());
    EXPECT_EQ(frame.getMedianDepth(), 2.5);
}

TEST(MapFrameBase, GetOperationsUseTheOverriddenCopies) {
    const std::shared_ptr<fw::MapFrame> frame = std::make_shared<CopyingFrame>(5, 0);
    ASSERT_EQ(frame->getKeyPoints().size(), 1u);
    EXPECT_EQ(frame->getKeyPoints()[0].x, 3);
    EXPECT_EQ(frame->getBoWVector().at(7), 0.5f);
    EXPECT_EQ(frame->getObservations().at(11), 2u);
    EXPECT_TRUE(frame->getFeatureVector().empty());
    EXPECT_EQ(frame->type(), "Copying");
    const std::shared_ptr<fw::GObject> object = frame;
    EXPECT_EQ(object->type(), "Copying");
}

TEST(GObjectBase, Defaults) {
    fw::GObject o;
    EXPECT_EQ(o.type(), "GObject");
    o.call("anything", nullptr);
    o.hookA();
    EXPECT_FALSE(o.hookB());
    EXPECT_FALSE(o.hookC());
}

TEST(MapPoint, ObservationsAndPosition) {
    fw::MapPoint p(17, {1, 2, 3});
    EXPECT_EQ(p.id, 17u);
    EXPECT_EQ(p.getPosition().z, 3);
    EXPECT_TRUE(p.addObservation(4, 10));
    EXPECT_FALSE(p.addObservation(4, 11));  // one keypoint per frame
    EXPECT_TRUE(p.addObservation(5, 0));
    EXPECT_EQ(p.getObservations().at(4), 10u);
    EXPECT_TRUE(p.eraseObservation(4));
    EXPECT_FALSE(p.eraseObservation(4));
    EXPECT_EQ(p.observationCount(), 1u);
    p.setPosition({-1, 0, 9});
    EXPECT_EQ(p.getPosition().x, -1);
}

TEST(Map, FramesInOrder) {
    fw::Map map;
    EXPECT_EQ(map.type(), "Map");
    const auto a = std::make_shared<fw::MapFrame>(1, 0), b = std::make_shared<fw::MapFrame>(2, 0);
    map.addFrame(a);
    map.addFrame(nullptr);  // ignored
    map.addFrame(b);
    std::vector<std::shared_ptr<fw::MapFrame>> frames = {a, a, a};
    map.getFrames(frames);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], a);
    EXPECT_EQ(frames[1], b);
    EXPECT_EQ(map.frameCount(), 2u);
}
