#pragma once
// The dense back end's own frame: a copy of a located frame with its image,
// camera and GPS vector, keypoints with colours on a 32 x 32 search grid,
// descriptors, observations of map points, links, a bag-of-words vector
// computed on first use and a cached median depth.

#include "fw/map_frame.h"

#include <atomic>
#include <mutex>

class MapFrame : public fw::MapFrame {
public:
    static constexpr int kGridSize = 32;

    struct KeyPointRecord {
        fw::KeyPoint keyPoint;
        pt::Point3d ray;  // the camera's unprojection of the keypoint
        pt::Point3_<unsigned char> colour;
        std::shared_ptr<fw::MapPoint> point;  // empty when none is observed
    };

    // Argument of the "GetKeyPoint" command.
    struct KeyPointQuery {
        size_t index;
        double x, y;
    };

    // The GPS vector's layouts are those of fw/gps_layout.h.
    MapFrame(uint64_t id, double timestamp, const fw::GImage& image, const std::string& imagePath,
             const std::shared_ptr<fw::CameraImpl>& camera, const std::vector<double>& gps,
             int colourFormat);

    std::string type() const override;
    // "GetKeyPoint" (KeyPointQuery*), "GetGPS" (std::vector<double>*),
    // "GetImagePath" and "SetImagePath" (std::string*).
    void call(const std::string& command, void* arg) override;

    int cameraCount() override;
    int imageColorFormat(int idx) override;
    std::shared_ptr<fw::CameraImpl> getCamera(int idx) override;
    fw::GImage getImage(int idx, int flags) override;
    bool setImage(const fw::GImage& image, int idx, int flags) override;

    int attitudeCount() override;
    bool getAttitude(pt::Point3d& pitchYawRoll) override;
    bool getAttitudeSigma(pt::Point3d& sigma) override;
    int gpsCount() override;
    bool getGPSLLA(pt::Point3d& lonLatAlt) override;
    bool getGPSLLASigma(pt::Point3d& sigma) override;
    bool getGPSECEF(pt::Point3d& xyz) override;
    bool getRelativeAltitude(pt::Point2d& heightAndSigma) override;

    // Keypoint accessors answer false (or nothing) for an index out of range.
    size_t keyPointCount() override;
    bool setKeyPoints(const std::vector<fw::KeyPoint>& keypoints,
                      const fw::GImage& descriptors) override;
    bool getKeyPoint(int idx, fw::KeyPoint& out) override;
    bool getKeyPointPosition(int idx, pt::Point2f& out) override;
    std::vector<fw::KeyPoint> getKeyPoints() override;
    bool getKeyPointPositions(std::vector<pt::Point2f>& out) override;
    bool getKeyPointColor(int idx, pt::Point3_<unsigned char>& out) override;
    bool getKeyPointInverseDepth(int idx, pt::Point2d& out) override;
    uint64_t getKeyPointObservation(int idx) override;
    fw::GImage getDescriptor(int idx) override;

    bool copyBoWVector(fw::BowVector& out) override;
    bool copyFeatureVector(fw::FeatureVector& out) override;
    std::vector<size_t> getFeaturesInArea(const float& x, const float& y, const float& r,
                                          bool exact) override;

    int observationCount() override;
    bool copyObservations(fw::ObservationMap& out) override;
    bool addObservation(const std::shared_ptr<fw::MapPoint>& point, size_t idx,
                        bool updatePoint) override;
    bool eraseObservation(const std::shared_ptr<fw::MapPoint>& point, bool updatePoint) override;
    bool clearObservations() override;

    std::shared_ptr<void> getLinkA(uint64_t id) override;
    std::shared_ptr<void> getLinkB(uint64_t id) override;
    bool copyLinksA(fw::LinkMap& out) override;
    bool copyLinksB(fw::LinkMap& out) override;
    bool addLinkA(uint64_t id, std::shared_ptr<void> link) override;
    bool addLinkB(uint64_t id, std::shared_ptr<void> link) override;
    bool eraseLinkA(uint64_t id) override;
    bool eraseLinkB(uint64_t id) override;
    bool clearLinksA() override;
    bool clearLinksB() override;

    // Lower median of the camera-frame depths of the observed points,
    // cached once found; -1.0 when there are none.
    double getMedianDepth() override;

    std::vector<double> gps;
    fw::GImage descriptors;
    std::vector<KeyPointRecord> keyPoints;
    fw::ObservationMap observations;
    fw::BowVector bowVector;
    fw::FeatureVector featureVector;
    // Cell (i, j), i the column cell and j the row cell, at i * kGridSize + j.
    std::vector<size_t> grid[kGridSize * kGridSize];

private:
    bool validIndex(int idx) const { return idx >= 0 && size_t(idx) < keyPoints.size(); }
    bool computeVectors();

    fw::GImage image_;
    int colourFormat_;
    std::string imagePath_;
    std::shared_ptr<fw::CameraImpl> camera_;
    fw::LinkMap linksA_, linksB_;
    std::atomic<double> medianDepth_{-1.0};
    std::mutex vectorsMutex_;
};
