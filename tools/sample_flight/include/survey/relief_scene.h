#pragma once
// A textured ground with relief in a local east-north-up frame (metres): a
// tilted terrain with a hill and an embankment, box buildings with vertical
// walls and flat roofs, and chequered targets at known points. The terrain is
// the bilinear surface through height samples at the centres of a square
// grid; the colour of every top surface (ground or roof) is a grid of the
// same cells. Views are rendered by casting a ray per pixel. A flat scene
// has level ground at the take-off height and no buildings.
//
// Thread rules: const after construction; render may run on several threads.

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace survey {

struct Building {
    double east = 0.0, north = 0.0;  // centre of the footprint
    double length = 0.0, width = 0.0;  // along the rotated east and north axes
    double rotation = 0.0;             // degrees, counter-clockwise from east
    double roof = 0.0;                 // height of the flat roof
};

struct Target {
    std::string name;
    double east = 0.0, north = 0.0, up = 0.0;  // the corner where the four squares meet
};

class ReliefScene {
public:
    // The scene over [eastMin, eastMax] x [northMin, northMax] (multiples of
    // the cell size), sampled every cell metres.
    ReliefScene(double eastMin, double northMin, double eastMax, double northMax, double cell, uint64_t seed,
                bool flat = false);

    // The analytic terrain that the grid samples (of a scene with relief).
    static double terrainAt(double east, double north);
    // Height of the take-off point (the reference's ground).
    static double takeoffHeight() { return terrainAt(0.0, 0.0); }

    double cell() const { return cell_; }
    double eastMin() const { return eastMin_; }
    double northMax() const { return northMax_; }
    int cols() const { return height_.cols; }
    int rows() const { return height_.rows; }

    // Top surface (terrain or roof) at the cell centres, CV_32FC1.
    const cv::Mat& height() const { return height_; }
    // Colour of the top surface, CV_8UC3 BGR.
    const cv::Mat& colour() const { return colour_; }
    // 255 where a roof is the top surface, else 0, CV_8UC1.
    const cv::Mat& roofs() const { return roofs_; }
    const std::vector<Building>& buildings() const { return buildings_; }
    const std::vector<Target>& targets() const { return targets_; }

    // Grid position (column, row) of a local point; cell centres are whole numbers.
    cv::Point2d gridAt(double east, double north) const {
        return {(east - eastMin_) / cell_ - 0.5, (northMax_ - north) / cell_ - 0.5};
    }

    // The view of a pinhole camera (camera-to-local rotation R, centre C),
    // its lens bending rays by the radial term k1 (a pixel at the distorted
    // normalised position x (1 + k1 r^2) sees the ray through x).
    // missed (when given) counts the rays that leave the grid.
    cv::Mat render(const cv::Matx33d& K, const cv::Matx33d& R, const cv::Vec3d& C, cv::Size size,
                   int64_t* missed = nullptr, double k1 = 0.0) const;

private:
    // Terrain height and its gradient on the bilinear surface; false off the grid.
    bool terrain(double east, double north, double& h, double& dhde, double& dhdn) const;
    bool inside(const Building& b, double east, double north) const;

    double eastMin_, northMax_, cell_;
    cv::Mat terrain_;  // CV_64FC1 samples of terrainAt
    cv::Mat height_, colour_, roofs_;
    double terrainMin_ = 0.0, terrainMax_ = 0.0;
    std::vector<Building> buildings_;
    std::vector<Target> targets_;
};

}  // namespace survey
