#include "terrain/terrain_fusion.h"

#include "steady_seconds.h"
#include "fw/log.h"
#include "terrain/grid_elevation.h"
#include "terrain/pyramid.h"
#include "tiles/terrain_fusion_tile.h"

#include <chrono>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

using Shape = TerrainTileShape;

// Runs with stitchMutex_ held (called by the tile writers).
void TerrainFusion::renderLowerZooms(int x, int y, int z) {
    const int n = renderZooms();
    if (n < 2) return;
    auto base = std::dynamic_pointer_cast<TerrainFusionMultiTile>(tileManager_->GetTile(x, y, z));
    if (!base) return;  // no longer available
    if (!Shape::fits(*base, false)) return;
    const cv::Mat image = base->image, weight = base->weight, elevation = base->elevation;
    // Colour is reduced over the covered pixels only, so that uncovered
    // ground lends no colour to the edges of the lower zooms.
    const std::vector<cv::Mat> colours = reduceCovered(image, weight, n - 1);
    std::vector<cv::Mat> weights{weight}, elevations{elevation};
    for (int k = 1; k < n; ++k) {
        cv::Mat w, e;
        halveImage(weights[k - 1], w);
        halveImage(elevations[k - 1], e);
        weights.push_back(w);
        elevations.push_back(e);
    }
    for (int k = 1; k < n && z - k >= 0; ++k) {
        const int d = 1 << k;
        const int px = x >> k, py = y >> k;
        const int colourSize = Shape::kSide / d, elevationSize = Shape::kElevationSide / d;
        const cv::Rect colourRect((x % d) * colourSize, (y % d) * colourSize, colourSize, colourSize);
        const cv::Rect elevationRect((x % d) * elevationSize, (y % d) * elevationSize, elevationSize, elevationSize);
        auto parent = std::dynamic_pointer_cast<TerrainFusionMultiTile>(tileManager_->GetTile(px, py, z - k));
        if (parent && Shape::fits(*parent, false)) {
            cv::Mat pi = parent->image, pw = parent->weight, pe = parent->elevation;
            cv::Mat ci = pi(colourRect), cw = pw(colourRect), ce = pe(elevationRect);
            colours[k].copyTo(ci);
            weights[k].copyTo(cw);
            elevations[k].copyTo(ce);
            parent->setTimestamp(steadySeconds());
            parent->setModified(true);
            tileManager_->SetTile(px, py, z - k, parent);
        } else {
            cv::Mat pi(Shape::kSide, Shape::kSide, CV_8UC3, cv::Scalar::all(0));
            cv::Mat pw(Shape::kSide, Shape::kSide, CV_8UC1, cv::Scalar(0));
            cv::Mat pe(Shape::kElevationSide, Shape::kElevationSide, CV_32FC1, cv::Scalar(kNoElevation));
            colours[k].copyTo(pi(colourRect));
            weights[k].copyTo(pw(colourRect));
            elevations[k].copyTo(pe(elevationRect));
            auto made = std::make_shared<TerrainFusionMultiTile>(fw::GImage(pi), fw::GImage(pe),
                                                                 TileKey{px, py, z - k}, steadySeconds(),
                                                                 fw::GImage(pw), fw::GImage(), 0);
            made->setModified(true);
            tileManager_->SetTile(px, py, z - k, made);
        }
    }
}
