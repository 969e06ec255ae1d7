#pragma once
// Web-map tiles as the maps' users read them: EPSG:3857 pixels of 256-pixel
// tiles (x to the east, y to the south) and the tile folders "z/z_x_y.ext"
// that zel_mapper writes, read with OpenCV.

#include <map>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace mapcheck {

constexpr int kTileSize = 256;     // DOM tile pixels
constexpr int kDsmTileSize = 64;   // DSM tile cells, one per 4 x 4 DOM pixels

struct LatLon {
    double latitude = 0.0, longitude = 0.0;
};

// WGS84 position of a global pixel position at a zoom (pixel corners at integers).
LatLon pixelToLatLon(double x, double y, int zoom);
// Global pixel position of a WGS84 position at a zoom.
cv::Point2d latLonToPixel(double latitude, double longitude, int zoom);
// Ground metres per pixel at a latitude and zoom.
double metresPerPixel(double latitude, int zoom);

struct TileName {
    int zoom = 0, x = 0, y = 0;
    std::string path;
};

// The tiles of a folder by zoom, for files "z/z_x_y" + extension.
std::map<int, std::vector<TileName>> listTileFiles(const std::string& folder, const std::string& extension);

// One DSM cell with data, at the point whose height it holds.
struct DsmCell {
    int zoom = 0;
    cv::Point index;  // column and row among all cells of the zoom
    LatLon position;
    double height = 0.0;
};

// The cells with data (above -1e8) of the DSM tiles of one zoom. A cell of
// the finest zoom holds the highest point of its square and stands for its
// centre; every zoom above keeps every second cell of the one below (the
// north-west one), so a cell k zooms above the finest stands for the centre
// of the finest cell at its north-west corner. Tiles that OpenCV cannot read
// as 64 x 64 float rasters are listed in unreadable.
std::vector<DsmCell> readDsmCells(const std::vector<TileName>& tiles, int zoom, int finestZoom,
                                  std::vector<std::string>* unreadable = nullptr);

// The DOM tiles of one zoom stitched into one BGRA picture (transparent where
// no tile is); origin is the global pixel of its top left corner.
struct DomMosaic {
    cv::Mat image;
    cv::Point origin;
    int zoom = 0;
};
DomMosaic readDomMosaic(const std::vector<TileName>& tiles, int zoom, std::vector<std::string>* unreadable = nullptr);

}  // namespace mapcheck
