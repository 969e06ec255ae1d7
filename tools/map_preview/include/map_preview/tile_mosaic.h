#pragma once
// Previews of web-map tile folders (EPSG:3857, "z/z_x_y.ext", x to the east,
// y to the south): the tiles of one zoom stitched into one picture no larger
// than a given size, the orthophoto as it is and the surface model
// hill-shaded.

#include <map>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace preview {

struct TileFile {
    int x = 0, y = 0;
    std::string path;
};

// Tiles by zoom level of a folder, for files named "z_x_y" + extension inside
// a folder named z; other files are left out. Empty when the folder is missing.
std::map<int, std::vector<TileFile>> listTiles(const std::string& folder, const std::string& extension);

struct Mosaic {
    cv::Mat image;          // the stitched picture
    int zoom = 0;
    int xMin = 0, yMin = 0;  // the tile at the top left corner
    int xCount = 0, yCount = 0;
    double scale = 1.0;     // picture pixels per tile pixel
    int tilesRead = 0;
};

// Orthophoto tiles (PNG, any channel count) as one BGRA picture; transparent
// where no tile is, and where the tiles are. A tile that does not decode is
// left out. False with a reason when no tile is read.
bool stitchImage(const std::vector<TileFile>& tiles, int zoom, int tileSize, int maxSize, Mosaic& out,
                 std::string& error);

// Elevation tiles (single-channel float TIFF, cells below -1e8 hold no data)
// as one CV_32FC1 raster with NaN where there is no data.
bool stitchElevation(const std::vector<TileFile>& tiles, int zoom, int tileSize, int maxSize, Mosaic& out,
                     std::string& error);

// Ground size in metres of a raster cell of the mosaic (east-west, north-south).
cv::Vec2d cellSize(const Mosaic& mosaic, int tileSize);

// The hill-shaded, height-tinted picture (BGRA) of an elevation raster with
// NaN for no data (transparent): light from the north-west, 45 degrees high.
cv::Mat hillshade(const cv::Mat& elevation, cv::Vec2d cell);

}  // namespace preview
