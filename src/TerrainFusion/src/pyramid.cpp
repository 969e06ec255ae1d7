#include "terrain/pyramid.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

void buildLaplacianPyramid(const cv::Mat& source, int levels, std::vector<cv::Mat>& pyramid) {
    pyramid.assign(static_cast<size_t>(std::max(levels, 0)) + 1, cv::Mat());
    std::vector<cv::Mat> gauss(pyramid.size());
    gauss[0] = source;
    for (int i = 0; i < levels; ++i) cv::pyrDown(gauss[i], gauss[i + 1]);
    const bool eightBit = source.depth() == CV_8U;
    for (int i = 0; i < levels; ++i) {
        cv::Mat up;
        cv::pyrUp(gauss[i + 1], up, gauss[i].size());
        if (eightBit) {
            cv::subtract(gauss[i], up, pyramid[i], cv::noArray(), CV_16S);
        } else {
            cv::subtract(gauss[i], up, pyramid[i]);
        }
    }
    if (eightBit && levels > 0) {
        gauss[levels].convertTo(pyramid[levels], CV_16S, 1.0, 0.0);
    } else {
        pyramid[levels] = gauss[levels];
    }
}

void halveImage(const cv::Mat& source, cv::Mat& destination) {
    cv::resize(source, destination, cv::Size(source.cols / 2, source.rows / 2), 0, 0, cv::INTER_NEAREST);
}
