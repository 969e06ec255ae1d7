#pragma once
// Image pyramids of the tile writers. Pure functions.

#include <opencv2/core/mat.hpp>

#include <vector>

// Laplacian pyramid of n levels: n band images and the reduced image last
// (n + 1 entries). An 8-bit source gives 16-bit signed bands and top level.
void buildLaplacianPyramid(const cv::Mat& source, int levels, std::vector<cv::Mat>& pyramid);

// Nearest-neighbour halving to (cols / 2, rows / 2).
void halveImage(const cv::Mat& source, cv::Mat& destination);
