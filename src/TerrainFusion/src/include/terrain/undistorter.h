#pragma once
// Per-pixel map from an output camera's image to an input camera's image,
// used to resample a distorted frame image into its ideal camera. When both
// cameras are the same (same model, size and parameters) the image is copied
// as it is: a round trip through the model would only add its rounding.
//
// Threads: prepare() runs in the constructor; afterwards undistort() only
// reads the tables and may be called from several threads at once.

#include "fw/camera.h"
#include "fw/gimage.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace fw {

class UndistorterImpl {
public:
    UndistorterImpl(std::shared_ptr<CameraImpl> cameraIn, std::shared_ptr<CameraImpl> cameraOut);

    // Builds the tables; the undistorter is valid only when both cameras are.
    void prepare();
    // Resamples in into out (a new image of the output camera's size). False,
    // with out sharing in's pixels, when not valid or in has another size.
    bool undistort(const GImage& in, GImage& out) const;

    bool valid() const { return valid_; }
    // Whether input and output are the same camera (undistort() copies).
    bool identity() const { return identity_; }
    const std::shared_ptr<CameraImpl>& cameraIn() const { return cameraIn_; }
    const std::shared_ptr<CameraImpl>& cameraOut() const { return cameraOut_; }

private:
    std::shared_ptr<CameraImpl> cameraIn_;
    std::shared_ptr<CameraImpl> cameraOut_;
    std::vector<float> sourceU_;
    std::vector<float> sourceV_;
    std::vector<int32_t> nearest_;
    std::vector<int32_t> neighbours_;  // four per pixel
    std::vector<float> weights_;       // four per pixel
    bool valid_ = false;
    bool identity_ = false;
};

}  // namespace fw
