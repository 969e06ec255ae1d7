#pragma once
// Image pyramids of the tile writers. Pure functions.

#include <opencv2/core/mat.hpp>

#include <vector>

// Laplacian pyramid of n levels: n band images and the reduced image last
// (n + 1 entries). An 8-bit source gives 16-bit signed bands and top level.
void buildLaplacianPyramid(const cv::Mat& source, int levels, std::vector<cv::Mat>& pyramid);

// Nearest-neighbour halving to (cols / 2, rows / 2).
void halveImage(const cv::Mat& source, cv::Mat& destination);

// An 8-bit BGR image whose pixels of weight 0 are filled from the weighted
// ones around them, coarse to fine (the mean colour of the nearest covered
// ground); pixels of weight above 0 keep their colour exactly. Without any
// covered pixel the image is returned as it is. Blending a frame's bands
// from it carries no colour of uncovered ground into the covered.
cv::Mat fillUncovered(const cv::Mat& image, const cv::Mat& weight);

// An 8-bit BGR image and its successive cv::pyrDown halvings taken over the
// pixels of weight above 0 only (levels + 1 entries, the image first): a
// reduced pixel is the kernel-weighted mean of the covered pixels under it,
// white where none is.
std::vector<cv::Mat> reduceCovered(const cv::Mat& image, const cv::Mat& weight, int levels);
