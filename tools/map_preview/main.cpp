// map_preview [--zoom Z] [--size PIXELS] DOM_FOLDER DSM_FOLDER OUT_FOLDER:
// stitches the finest zoom (or zoom Z) of a DOM tile folder (z/z_x_y.png,
// 256 x 256) and of a DSM tile folder (z/z_x_y.tiff, 64 x 64 float, -1e9 for
// no data) into "dom_preview.png" and "dsm_preview.png" (hill-shaded) in
// OUT_FOLDER, each at most PIXELS wide and high (default 1024). Prints the
// two paths. A demo tool beside zel_mapper.
#include "map_preview/tile_mosaic.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include <opencv2/imgcodecs.hpp>

namespace fs = std::filesystem;

namespace {

constexpr int kDomTile = 256;
constexpr int kDsmTile = 64;

bool readNumber(const std::string& text, int low, int high, int& value) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < low || v > high) return false;
    value = static_cast<int>(v);
    return true;
}

// The zoom to stitch: the chosen one, else the finest that the folder
// holds; false with a reason when the folder has no tiles there.
bool pickZoom(const std::map<int, std::vector<preview::TileFile>>& tiles, int chosen, const std::string& folder,
              int& zoom, std::string& error) {
    if (tiles.empty()) {
        error = "no tiles in " + folder;
        return false;
    }
    zoom = chosen >= 0 ? chosen : tiles.rbegin()->first;
    if (!tiles.count(zoom)) {
        error = "no tiles at zoom " + std::to_string(zoom) + " in " + folder;
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int zoom = -1, size = 1024;
    std::vector<std::string> folders;
    bool usage = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--zoom" && i + 1 < argc)
            usage |= !readNumber(argv[++i], 0, 30, zoom);
        else if (arg == "--size" && i + 1 < argc)
            usage |= !readNumber(argv[++i], 16, 16384, size);
        else if (!arg.empty() && arg[0] != '-')
            folders.push_back(arg);
        else
            usage = true;
    }
    if (usage || folders.size() != 3) {
        std::cerr << "usage: map_preview [--zoom Z] [--size PIXELS] DOM_FOLDER DSM_FOLDER OUT_FOLDER" << std::endl;
        return 1;
    }

    const auto domTiles = preview::listTiles(folders[0], ".png");
    const auto dsmTiles = preview::listTiles(folders[1], ".tiff");
    int domZoom = 0, dsmZoom = 0;
    std::string error;
    if (!pickZoom(domTiles, zoom, folders[0], domZoom, error) ||
        !pickZoom(dsmTiles, zoom, folders[1], dsmZoom, error)) {
        std::cerr << "map_preview: " << error << std::endl;
        return 1;
    }

    preview::Mosaic dom, dsm;
    if (!preview::stitchImage(domTiles.at(domZoom), domZoom, kDomTile, size, dom, error)) {
        std::cerr << "map_preview: " << folders[0] << ": " << error << std::endl;
        return 1;
    }
    if (!preview::stitchElevation(dsmTiles.at(dsmZoom), dsmZoom, kDsmTile, size, dsm, error)) {
        std::cerr << "map_preview: " << folders[1] << ": " << error << std::endl;
        return 1;
    }
    const cv::Mat shaded = preview::hillshade(dsm.image, preview::cellSize(dsm, kDsmTile));

    std::error_code ec;
    fs::create_directories(folders[2], ec);
    const std::string domPath = (fs::path(folders[2]) / "dom_preview.png").string();
    const std::string dsmPath = (fs::path(folders[2]) / "dsm_preview.png").string();
    if (!cv::imwrite(domPath, dom.image) || !cv::imwrite(dsmPath, shaded)) {
        std::cerr << "map_preview: cannot write the previews in " << folders[2] << std::endl;
        return 1;
    }
    std::cout << domPath << '\n' << dsmPath << std::endl;
    return 0;
}
