#include "map_preview/tile_mosaic.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace fs = std::filesystem;

namespace preview {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kEarthRadius = 6378137.0;

// Placement of the tiles of one zoom in a picture no larger than maxSize.
bool layout(const std::vector<TileFile>& tiles, int zoom, int tileSize, int maxSize, Mosaic& out,
            std::string& error) {
    if (tiles.empty()) {
        error = "no tiles at zoom " + std::to_string(zoom);
        return false;
    }
    int xMax = tiles[0].x, yMax = tiles[0].y;
    out.zoom = zoom;
    out.xMin = tiles[0].x;
    out.yMin = tiles[0].y;
    for (const TileFile& t : tiles) {
        out.xMin = std::min(out.xMin, t.x);
        out.yMin = std::min(out.yMin, t.y);
        xMax = std::max(xMax, t.x);
        yMax = std::max(yMax, t.y);
    }
    if (static_cast<int64_t>(xMax) - out.xMin >= (1 << 30) || static_cast<int64_t>(yMax) - out.yMin >= (1 << 30)) {
        error = "tile numbers out of range at zoom " + std::to_string(zoom);
        return false;
    }
    out.xCount = xMax - out.xMin + 1;
    out.yCount = yMax - out.yMin + 1;
    const double full = static_cast<double>(std::max(out.xCount, out.yCount)) * tileSize;
    out.scale = std::min(1.0, maxSize / full);
    return true;
}

// Picture columns (or rows) [first, second) of tiles [from, from + n); the
// picture is never larger than the size asked for, so these fit an int.
std::pair<int, int> span(double from, double n, int tileSize, double scale) {
    return {static_cast<int>(std::lround(from * tileSize * scale)),
            static_cast<int>(std::lround((from + n) * tileSize * scale))};
}

cv::Rect target(const Mosaic& m, const TileFile& t, int tileSize) {
    const auto [x0, x1] = span(static_cast<double>(t.x) - m.xMin, 1, tileSize, m.scale);
    const auto [y0, y1] = span(static_cast<double>(t.y) - m.yMin, 1, tileSize, m.scale);
    return cv::Rect(x0, y0, x1 - x0, y1 - y0);
}

cv::Size pictureSize(const Mosaic& m, int tileSize) {
    return {span(0, m.xCount, tileSize, m.scale).second, span(0, m.yCount, tileSize, m.scale).second};
}

cv::Mat toBgra(const cv::Mat& tile) {
    cv::Mat bgra;
    if (tile.channels() == 4)
        bgra = tile;
    else if (tile.channels() == 3)
        cv::cvtColor(tile, bgra, cv::COLOR_BGR2BGRA);
    else
        cv::cvtColor(tile, bgra, cv::COLOR_GRAY2BGRA);
    if (bgra.depth() != CV_8U) bgra.convertTo(bgra, CV_8U, bgra.depth() == CV_16U ? 1.0 / 257 : 1.0);
    return bgra;
}

}  // namespace

std::map<int, std::vector<TileFile>> listTiles(const std::string& folder, const std::string& extension) {
    std::map<int, std::vector<TileFile>> out;
    std::error_code ec;
    for (const auto& zoomDir : fs::directory_iterator(folder, ec)) {
        if (!zoomDir.is_directory()) continue;
        const std::string zoomName = zoomDir.path().filename().string();
        int zoom = 0;
        char rest = 0;
        if (std::sscanf(zoomName.c_str(), "%d%c", &zoom, &rest) != 1 || zoom < 0 || zoom > 30) continue;
        std::error_code inner;
        for (const auto& file : fs::directory_iterator(zoomDir.path(), inner)) {
            if (!file.is_regular_file() || file.path().extension() != extension) continue;
            int z = 0, x = 0, y = 0;
            const std::string stem = file.path().stem().string();
            if (std::sscanf(stem.c_str(), "%d_%d_%d%c", &z, &x, &y, &rest) != 3 || z != zoom || x < 0 || y < 0 ||
                stem != std::to_string(z) + "_" + std::to_string(x) + "_" + std::to_string(y))
                continue;
            out[zoom].push_back({x, y, file.path().string()});
        }
    }
    // Directory order is the file system's; the picture does not depend on it.
    for (auto& [zoom, tiles] : out)
        std::sort(tiles.begin(), tiles.end(), [](const TileFile& a, const TileFile& b) {
            return a.y != b.y ? a.y < b.y : a.x < b.x;
        });
    return out;
}

bool stitchImage(const std::vector<TileFile>& tiles, int zoom, int tileSize, int maxSize, Mosaic& out,
                 std::string& error) {
    if (!layout(tiles, zoom, tileSize, maxSize, out, error)) return false;
    out.image = cv::Mat(pictureSize(out, tileSize), CV_8UC4, cv::Scalar::all(0));
    for (const TileFile& t : tiles) {
        cv::Mat tile = cv::imread(t.path, cv::IMREAD_UNCHANGED);
        if (tile.empty() || tile.cols != tileSize || tile.rows != tileSize) continue;
        const cv::Rect r = target(out, t, tileSize);
        if (r.area() <= 0) continue;
        const cv::Mat bgra = toBgra(tile);
        if (r.width == tileSize && r.height == tileSize) {
            bgra.copyTo(out.image(r));
        } else {
            // Colour weighted by its alpha, so that transparent pixels add nothing.
            cv::Mat f, alpha, premultiplied;
            bgra.convertTo(f, CV_32FC4);
            std::vector<cv::Mat> planes;
            cv::split(f, planes);
            for (int c = 0; c < 3; ++c) planes[c] = planes[c].mul(planes[3]);
            cv::merge(planes, premultiplied);
            cv::resize(premultiplied, premultiplied, r.size(), 0, 0, cv::INTER_AREA);
            cv::split(premultiplied, planes);
            for (int c = 0; c < 3; ++c) cv::divide(planes[c], cv::max(planes[3], 1e-6), planes[c]);
            cv::merge(planes, premultiplied);
            premultiplied.convertTo(out.image(r), CV_8UC4);
        }
        ++out.tilesRead;
    }
    if (out.tilesRead == 0) {
        error = "no tile at zoom " + std::to_string(zoom) + " could be read";
        return false;
    }
    return true;
}

bool stitchElevation(const std::vector<TileFile>& tiles, int zoom, int tileSize, int maxSize, Mosaic& out,
                     std::string& error) {
    if (!layout(tiles, zoom, tileSize, maxSize, out, error)) return false;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    out.image = cv::Mat(pictureSize(out, tileSize), CV_32FC1, cv::Scalar(nan));
    for (const TileFile& t : tiles) {
        cv::Mat tile = cv::imread(t.path, cv::IMREAD_UNCHANGED);
        if (tile.empty() || tile.channels() != 1 || tile.cols != tileSize || tile.rows != tileSize) continue;
        tile.convertTo(tile, CV_32FC1);
        const cv::Rect r = target(out, t, tileSize);
        if (r.area() <= 0) continue;
        // Mean of the cells with data; a cell of the picture keeps data when
        // at least half of what it covers has some.
        cv::Mat valid(tile.size(), CV_32FC1), values(tile.size(), CV_32FC1);
        for (int y = 0; y < tile.rows; ++y)
            for (int x = 0; x < tile.cols; ++x) {
                const float v = tile.at<float>(y, x);
                const bool ok = std::isfinite(v) && v > -1e8f;
                valid.at<float>(y, x) = ok ? 1.0f : 0.0f;
                values.at<float>(y, x) = ok ? v : 0.0f;
            }
        cv::resize(valid, valid, r.size(), 0, 0, cv::INTER_AREA);
        cv::resize(values, values, r.size(), 0, 0, cv::INTER_AREA);
        cv::Mat dst = out.image(r);
        for (int y = 0; y < r.height; ++y)
            for (int x = 0; x < r.width; ++x) {
                const float w = valid.at<float>(y, x);
                dst.at<float>(y, x) = w >= 0.5f ? values.at<float>(y, x) / w : nan;
            }
        ++out.tilesRead;
    }
    if (out.tilesRead == 0) {
        error = "no tile at zoom " + std::to_string(zoom) + " could be read";
        return false;
    }
    return true;
}

cv::Vec2d cellSize(const Mosaic& m, int tileSize) {
    // Latitude of the mosaic's middle; Web Mercator cells are square on the map.
    const double tiles = std::ldexp(1.0, m.zoom);
    const double yMiddle = m.yMin + m.yCount / 2.0;
    const double latitude = std::atan(std::sinh(kPi * (1.0 - 2.0 * yMiddle / tiles)));
    const double ground = 2 * kPi * kEarthRadius * std::cos(latitude) / (tiles * tileSize);
    const cv::Size size = m.image.size();
    return {ground * m.xCount * tileSize / std::max(1, size.width),
            ground * m.yCount * tileSize / std::max(1, size.height)};
}

cv::Mat hillshade(const cv::Mat& elevation, cv::Vec2d cell) {
    cv::Mat out(elevation.size(), CV_8UC4, cv::Scalar::all(0));
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (int y = 0; y < elevation.rows; ++y)
        for (int x = 0; x < elevation.cols; ++x) {
            const float v = elevation.at<float>(y, x);
            if (std::isnan(v)) continue;
            lo = std::min(lo, static_cast<double>(v));
            hi = std::max(hi, static_cast<double>(v));
        }
    const cv::Vec3d light(-0.5, 0.5, std::sqrt(0.5));  // east, north, up
    // Low green, middle yellow, high brown (BGR).
    const cv::Vec3d ramp[3] = {{90, 160, 70}, {110, 215, 230}, {60, 105, 160}};
    const auto at = [&](int x, int y, float centre) {
        if (x < 0 || y < 0 || x >= elevation.cols || y >= elevation.rows) return static_cast<double>(centre);
        const float v = elevation.at<float>(y, x);
        return static_cast<double>(std::isnan(v) ? centre : v);
    };
    for (int y = 0; y < elevation.rows; ++y)
        for (int x = 0; x < elevation.cols; ++x) {
            const float v = elevation.at<float>(y, x);
            if (std::isnan(v)) continue;
            // Horn's gradient; rows run south.
            const double a = at(x - 1, y - 1, v), b = at(x, y - 1, v), c = at(x + 1, y - 1, v);
            const double d = at(x - 1, y, v), f = at(x + 1, y, v);
            const double g = at(x - 1, y + 1, v), h = at(x, y + 1, v), i = at(x + 1, y + 1, v);
            const double dzde = ((c + 2 * f + i) - (a + 2 * d + g)) / (8 * cell[0]);
            const double dzdn = ((a + 2 * b + c) - (g + 2 * h + i)) / (8 * cell[1]);
            const cv::Vec3d normal = cv::normalize(cv::Vec3d(-dzde, -dzdn, 1.0));
            const double shade = std::max(0.0, normal.dot(light));
            const double level = hi > lo ? (v - lo) / (hi - lo) * 2.0 : 0.0;
            const int k = std::min(1, static_cast<int>(level));
            const cv::Vec3d tint = ramp[k] * (1 - (level - k)) + ramp[k + 1] * (level - k);
            const cv::Vec3d colour = tint * (0.15 + 0.85 * shade / light[2]) * 0.85;
            out.at<cv::Vec4b>(y, x) = cv::Vec4b(cv::saturate_cast<uint8_t>(colour[0]), cv::saturate_cast<uint8_t>(colour[1]),
                                                cv::saturate_cast<uint8_t>(colour[2]), 255);
        }
    return out;
}

}  // namespace preview
