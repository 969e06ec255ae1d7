#pragma once
// The driver's frame: a photograph of a dataset with its frame record's
// position, attitude and camera, and its pixels once they are loaded.

#include "fw/map_frame.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TarnMapperFrame : public fw::MapFrame {
public:
    // Load states set by the dataset.
    enum : int32_t { kNew = 0, kQueued = 1, kLoading = 2, kLoaded = 3, kLoadFailed = 4 };

    TarnMapperFrame(uint64_t id, std::string imagePath, double timestamp, std::vector<double> gps,
                    std::vector<double> cameraParameters);
    ~TarnMapperFrame() override;

    std::string type() const override;
    // "GetImagePath" (std::string*), "ReleaseImage", "GetGPS" (std::vector<double>*).
    void call(const std::string& command, void* arg) override;

    int cameraCount() override;
    std::shared_ptr<fw::CameraImpl> getCamera(int idx) override;
    fw::GImage getImage(int idx, int flags) override;
    bool setImage(const fw::GImage& img, int idx, int flags) override;

    int attitudeCount() override;
    bool getAttitude(pt::Point3d& pitchYawRoll) override;
    bool getAttitudeSigma(pt::Point3d& sigma) override;
    int gpsCount() override;
    bool getGPSLLA(pt::Point3d& lonLatAlt) override;
    bool getGPSLLASigma(pt::Point3d& sigma) override;
    bool getGPSECEF(pt::Point3d& xyz) override;
    bool getRelativeAltitude(pt::Point2d& heightAndSigma) override;

    const std::string& imagePath() const { return imagePath_; }
    const std::vector<double>& gps() const { return gps_; }
    // Set by the loader before it marks the frame loaded.
    void setCamera(std::shared_ptr<fw::CameraImpl> camera);
    std::atomic<int32_t>& loadState() { return loadState_; }
    // Why the loader gave the frame no pixels, in its own words; empty when
    // it has them. Set by the loader before it marks the frame loaded or
    // failed, read after that.
    const std::string& imageRefusal() const { return imageRefusal_; }
    void setImageRefusal(std::string why) { imageRefusal_ = std::move(why); }

private:
    const std::string imagePath_;
    fw::GImage image_;
    fw::GImage secondImage_;
    std::shared_ptr<fw::CameraImpl> camera_;
    const std::vector<double> gps_;
    std::atomic<int32_t> loadState_{kNew};
    std::string imageRefusal_;
};
