#pragma once
// The frame interface that travels through the pipeline: an image with its
// id, time, pose, camera, GPS and attitude. Frame classes override what they
// support; false, 0, an identity pose or an empty result mean that the frame
// has no such data.

#include "fw/bow_vector.h"
#include "fw/camera.h"
#include "fw/gimage.h"
#include "fw/gobject.h"
#include "fw/key_point.h"
#include "fw/pose.h"
#include "pt/point.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fw {

class MapPoint;

// Map point id -> keypoint index.
using ObservationMap = std::map<uint64_t, uint64_t>;
// Id -> link object; the frame does not inspect the objects.
using LinkMap = std::map<uint64_t, std::shared_ptr<void>>;

class MapFrame : public GObject {
public:
    MapFrame(uint64_t id, double timestamp);
    ~MapFrame() override;
    MapFrame(const MapFrame&) = delete;
    MapFrame& operator=(const MapFrame&) = delete;

    std::string type() const override;

    // Cameras ("idx" selects one of several; every frame here has one of each).
    virtual int cameraCount();
    virtual SE3 getCameraPose(int idx);
    virtual int imageColorFormat(int idx);
    virtual std::shared_ptr<CameraImpl> getCamera(int idx);
    virtual GImage getImage(int idx, int flags);
    // An empty image releases the frame's pixels.
    virtual bool setImage(const GImage& image, int idx, int flags);
    virtual bool imageHook();

    // Attitude sensors.
    virtual int attitudeCount();
    virtual SE3 getAttitudePose(int idx);
    virtual bool attitudeHookA();
    virtual bool attitudeHookB();
    virtual bool attitudeHookC();
    virtual bool attitudeHookD();
    virtual bool attitudeHookE();
    virtual bool getAttitude(pt::Point3d& pitchYawRoll);
    virtual bool getAttitudeSigma(pt::Point3d& sigma);

    // GPS receivers.
    virtual int gpsCount();
    virtual SE3 getGPSPose(int idx);
    virtual bool getGPSLLA(pt::Point3d& lonLatAlt);
    virtual bool getGPSLLASigma(pt::Point3d& sigma);
    virtual bool getGPSECEF(pt::Point3d& xyz);
    virtual bool getRelativeAltitude(pt::Point2d& heightAndSigma);

    // Keypoints and descriptors.
    virtual size_t keyPointCount();
    virtual bool setKeyPoints(const std::vector<KeyPoint>& keypoints, const GImage& descriptors);
    virtual bool keyPointHook(int64_t a, int64_t b, int64_t c, std::string text);
    virtual bool getKeyPoint(int idx, KeyPoint& out);
    virtual bool getKeyPointPosition(int idx, pt::Point2f& out);
    virtual std::vector<KeyPoint> getKeyPoints();
    virtual bool copyKeyPoints(std::vector<KeyPoint>& out);
    virtual bool getKeyPointPositions(std::vector<pt::Point2f>& out);
    virtual bool getKeyPointColor(int idx, pt::Point3_<unsigned char>& out);
    virtual bool getKeyPointInverseDepth(int idx, pt::Point2d& out);
    // Id of the map point that keypoint idx observes; 0 when none.
    virtual uint64_t getKeyPointObservation(int idx);
    virtual GImage getDescriptor(int idx);

    // Bag of words.
    virtual BowVector getBoWVector();
    virtual bool copyBoWVector(BowVector& out);
    virtual FeatureVector getFeatureVector();
    virtual bool copyFeatureVector(FeatureVector& out);
    virtual std::vector<size_t> getFeaturesInArea(const float& x, const float& y, const float& r,
                                                  bool exact);

    // Observations of map points.
    virtual int observationCount();
    virtual ObservationMap getObservations();
    virtual bool copyObservations(ObservationMap& out);
    virtual bool addObservation(const std::shared_ptr<MapPoint>& point, size_t idx,
                                bool updatePoint);
    virtual bool eraseObservation(const std::shared_ptr<MapPoint>& point, bool updatePoint);
    virtual bool clearObservations();

    // Two maps of links to other objects.
    virtual std::shared_ptr<void> getLinkA(uint64_t id);
    virtual std::shared_ptr<void> getLinkB(uint64_t id);
    virtual bool copyLinksA(LinkMap& out);
    virtual bool copyLinksB(LinkMap& out);
    virtual bool addLinkA(uint64_t id, std::shared_ptr<void> link);
    virtual bool addLinkB(uint64_t id, std::shared_ptr<void> link);
    virtual bool eraseLinkA(uint64_t id);
    virtual bool eraseLinkB(uint64_t id);
    virtual bool clearLinksA();
    virtual bool clearLinksB();

    // The base answers the scale of the pose.
    virtual double getMedianDepth();

    // Rotation and translation of the pose, copied under the mutex.
    SE3 getPose() const;
    // Replaces the whole pose, or only its rotation and translation, under the mutex.
    void setPose(const SIM3& pose);
    void setPose(const SE3& pose);

    const uint64_t id;
    const double timestamp;
    // Guards the pose; frame classes also use it for their own members.
    mutable std::mutex mutex;
    // MD5 of the image file, set by the dataset's loader.
    std::string label;
    // Camera to world, with scale.
    SIM3 pose;
};

}  // namespace fw
