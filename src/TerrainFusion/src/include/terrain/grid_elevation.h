#pragma once
// Gridding of points into an elevation raster (highest point per cell),
// closed and hole-filled. Pure functions over their arguments.

#include "dv/var.h"
#include "fw/gimage.h"

#include <cstdint>
#include <utility>
#include <vector>

#include <opencv2/core/mat.hpp>

// Value of an empty elevation cell; cells below kEmptyBelow count as empty.
constexpr float kNoElevation = -1e9f;
constexpr float kEmptyBelow = -1e8f;

// points: n x 1 cells of three floats (x, y, z in the map's local frame);
// origin: the grid's north-west corner; params: "gsd" and "gsd_lat" (metres
// per cell along x and y), "search_radius" and "neighbors" (read, unused).
// Result: {elevation (float, -1e9 where empty), cellWeight (float)}.
std::vector<fw::GImage> gridElevation(const fw::GImage& points, double originX, double originY, int32_t columns,
                                      int32_t rows, const dv::Var& params);

// One pass of Gaussian hole filling over the listed cells (column, row),
// reading only the grid as it was before the pass; each listed cell's weight
// is halved.
void fillHolesGaussian(cv::Mat& elevation, cv::Mat& cellWeight, int kernelSize, float sigma,
                       const std::vector<std::pair<int32_t, int32_t>>& cells);
