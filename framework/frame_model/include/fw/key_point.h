#pragma once
// A detected feature, laid out as OpenCV's cv::KeyPoint.

#include <cstdint>

namespace fw {

struct KeyPoint {
    float x = 0, y = 0;
    float size = 0;
    float angle = -1;
    float response = 0;
    int32_t octave = 0;
    int32_t class_id = -1;
};

}  // namespace fw
