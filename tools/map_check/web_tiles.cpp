#include "map_check/web_tiles.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace fs = std::filesystem;

namespace mapcheck {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kEarthRadius = 6378137.0;

double worldPixels(int zoom) { return kTileSize * std::ldexp(1.0, zoom); }

}  // namespace

LatLon pixelToLatLon(double x, double y, int zoom) {
    const double n = worldPixels(zoom);
    LatLon p;
    p.longitude = x / n * 360.0 - 180.0;
    p.latitude = std::atan(std::sinh(kPi * (1.0 - 2.0 * y / n))) * 180.0 / kPi;
    return p;
}

cv::Point2d latLonToPixel(double latitude, double longitude, int zoom) {
    const double n = worldPixels(zoom), phi = latitude * kPi / 180.0;
    return {(longitude + 180.0) / 360.0 * n, (1.0 - std::log(std::tan(phi) + 1.0 / std::cos(phi)) / kPi) / 2.0 * n};
}

double metresPerPixel(double latitude, int zoom) {
    return std::cos(latitude * kPi / 180.0) * 2.0 * kPi * kEarthRadius / worldPixels(zoom);
}

std::map<int, std::vector<TileName>> listTileFiles(const std::string& folder, const std::string& extension) {
    std::map<int, std::vector<TileName>> out;
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) return out;
    for (const auto& dir : fs::directory_iterator(folder, ec)) {
        if (!dir.is_directory()) continue;
        for (const auto& file : fs::directory_iterator(dir.path(), ec)) {
            if (file.path().extension() != extension) continue;
            TileName t;
            char rest = 0;
            const std::string stem = file.path().stem().string();
            if (std::sscanf(stem.c_str(), "%d_%d_%d%c", &t.zoom, &t.x, &t.y, &rest) != 3) continue;
            if (dir.path().filename() != std::to_string(t.zoom)) continue;
            t.path = file.path().string();
            out[t.zoom].push_back(t);
        }
    }
    for (auto& [zoom, tiles] : out)
        std::sort(tiles.begin(), tiles.end(), [](const TileName& a, const TileName& b) {
            return a.y != b.y ? a.y < b.y : a.x < b.x;
        });
    return out;
}

std::vector<DsmCell> readDsmCells(const std::vector<TileName>& tiles, int zoom, int finestZoom,
                                  std::vector<std::string>* unreadable) {
    std::vector<DsmCell> cells;
    const int cell = kTileSize / kDsmTileSize;
    // Offset of the point that a cell stands for from the cell's corner, in pixels of this zoom.
    const double at = 0.5 * cell * std::ldexp(1.0, zoom - finestZoom);
    for (const TileName& t : tiles) {
        const cv::Mat tile = cv::imread(t.path, cv::IMREAD_UNCHANGED);
        if (tile.type() != CV_32FC1 || tile.rows != kDsmTileSize || tile.cols != kDsmTileSize) {
            if (unreadable) unreadable->push_back(t.path);
            continue;
        }
        for (int r = 0; r < tile.rows; ++r)
            for (int c = 0; c < tile.cols; ++c) {
                const float h = tile.at<float>(r, c);
                if (!(h > -1e8f)) continue;
                DsmCell d;
                d.zoom = zoom;
                d.index = {t.x * kDsmTileSize + c, t.y * kDsmTileSize + r};
                d.position = pixelToLatLon(double(t.x) * kTileSize + c * cell + at,
                                           double(t.y) * kTileSize + r * cell + at, zoom);
                d.height = h;
                cells.push_back(d);
            }
    }
    return cells;
}

DomMosaic readDomMosaic(const std::vector<TileName>& tiles, int zoom, std::vector<std::string>* unreadable) {
    DomMosaic m;
    m.zoom = zoom;
    if (tiles.empty()) return m;
    int xMin = tiles[0].x, yMin = tiles[0].y, xMax = xMin, yMax = yMin;
    for (const TileName& t : tiles) {
        xMin = std::min(xMin, t.x), yMin = std::min(yMin, t.y);
        xMax = std::max(xMax, t.x), yMax = std::max(yMax, t.y);
    }
    m.origin = {xMin * kTileSize, yMin * kTileSize};
    m.image = cv::Mat((yMax - yMin + 1) * kTileSize, (xMax - xMin + 1) * kTileSize, CV_8UC4, cv::Scalar::all(0));
    for (const TileName& t : tiles) {
        const cv::Mat tile = cv::imread(t.path, cv::IMREAD_UNCHANGED);
        if (tile.type() != CV_8UC4 || tile.rows != kTileSize || tile.cols != kTileSize) {
            if (unreadable) unreadable->push_back(t.path);
            continue;
        }
        tile.copyTo(m.image(cv::Rect((t.x - xMin) * kTileSize, (t.y - yMin) * kTileSize, kTileSize, kTileSize)));
    }
    return m;
}

}  // namespace mapcheck
