// The zoom level of a whole located map, from its median flying height.
#include "cluster/dbscan.h"
#include "fw/log.h"
#include "fw/settings.h"
#include "pointsfusion/points_fusion.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

struct HeightRecord {
    std::shared_ptr<fw::MapFrame> frame;
    double height;
};

// Local east-north-up axes at a geodetic position, the origin at position.
fw::SE3 localFrame(double longitude, double latitude, const pt::Point3d& origin) {
    const double l = longitude * M_PI / 180.0, p = latitude * M_PI / 180.0;
    const double east[3] = {-std::sin(l), std::cos(l), 0.0};
    const double north[3] = {-std::sin(p) * std::cos(l), -std::sin(p) * std::sin(l), std::cos(p)};
    const double up[3] = {std::cos(p) * std::cos(l), std::cos(p) * std::sin(l), std::sin(p)};
    const double m[9] = {east[0], north[0], up[0], east[1], north[1], up[1], east[2], north[2], up[2]};
    fw::SO3 q;
    q.fromMatrix(m);
    return fw::SE3(q, origin);
}

// Focal length in pixels; false for a camera without one.
bool focalOf(const std::shared_ptr<fw::MapFrame>& frame, double& f) {
    const std::shared_ptr<fw::CameraImpl> camera = frame ? frame->getCamera(0) : nullptr;
    if (!camera) return false;
    const std::vector<double> p = camera->parameterVector();
    if (p.size() < 3) return false;
    f = p[2];
    return true;
}

}  // namespace

bool PointsFusion::calcZoomLevel(const std::shared_ptr<fw::Map>& map) {
    if (!map) return false;
    std::vector<std::shared_ptr<fw::MapFrame>> frames;
    map->getFrames(frames);
    const size_t n = frames.size();
    if (n == 0) return false;
    size_t step = n < 101 ? 1 : (n <= 500 ? 2 : n / 500 + 2);
    step = std::min<size_t>(step, 10);

    fw::Settings& settings = fw::Settings::instance();
    double f = 0.0;
    bool haveFocal = false;
    std::vector<HeightRecord> records;
    for (size_t i = 0; i < n; i += step) {
        const std::shared_ptr<fw::MapFrame>& frame = frames[i];
        if (!frame) continue;
        double frameFocal = 0.0;
        if (!focalOf(frame, frameFocal)) {
            FW_LOG(Warning) << "Frame " << frame->id << " has no focal length, skipped for the zoom level";
            continue;
        }
        if (!haveFocal) {
            f = frameFocal;
            haveFocal = true;
        }
        const fw::SE3 pose = frame->getPose();
        pt::Point3d lla;
        if (!frame->getGPSLLA(lla)) continue;
        const fw::SE3 local = localFrame(lla.x, lla.y, pose.translation).inverse() * pose;
        const std::shared_ptr<fw::CameraImpl> camera = frame->getCamera(0);
        std::vector<vec1d> ups;
        const size_t keyPoints = frame->keyPointCount();
        for (size_t k = 0; k < keyPoints; ++k) {
            pt::Point2f position;
            pt::Point2d inverseDepth;
            if (!frame->getKeyPointPosition(int(k), position) || !frame->getKeyPointInverseDepth(int(k), inverseDepth))
                continue;
            if (!(inverseDepth.x > 0.0)) continue;
            const pt::Point3d ray = camera->unproject(pt::Point2d(position.x, position.y));
            const double depth = 1.0 / inverseDepth.x;
            const pt::Point3d p = local * pt::Point3d(ray.x * depth, ray.y * depth, ray.z * depth);
            if (std::isfinite(p.z)) ups.emplace_back(p.z);
        }
        if (ups.empty()) continue;
        DBSCAN<vec1d> dbscan;
        dbscan.run(ups, 1, 10.0, 5);
        const std::vector<uint32_t>* largest = nullptr;
        for (const auto& cluster : dbscan.clusters)
            if (!largest || cluster.size() > largest->size()) largest = &cluster;
        double sum = 0.0;
        size_t count = 0;
        if (largest && !largest->empty()) {
            for (uint32_t index : *largest) sum += ups[index].x;
            count = largest->size();
        } else {
            for (const vec1d& u : ups) sum += u.x;
            count = ups.size();
        }
        const double ground = sum / double(count);
        records.push_back({frame, std::fabs(local.translation.z - ground)});
    }
    if (!haveFocal) {
        FW_LOG(Error) << "No frame of the map has a focal length, zoom level not calculated";
        return false;
    }

    double middleHeight = 0.0;
    pt::Point3d position;
    if (!records.empty()) {
        std::sort(records.begin(), records.end(),
                  [](const HeightRecord& a, const HeightRecord& b) { return a.height < b.height; });
        const HeightRecord& middle = records[records.size() / 2];
        middleHeight = middle.height;
        middle.frame->getGPSLLA(position);
        fetchGps_ = true;
    } else {
        middleHeight = settings.GetDouble("pointsfusion.fake_height", 200.0);
        position = settings.GetPoint3d("pointsfusion.fake_origin", pt::Point3d(0, 0, 0));
        fetchGps_ = false;
    }
    const double gsd = middleHeight / f;
    FW_LOG(Info) << "nMiddleHeight:" << middleHeight << ", f:" << f << ",gsd:" << gsd << ",frame size:" << n
                 << ", fetchGPS:" << (fetchGps_ ? 1 : 0);
    const std::string coordinate = settings.GetString("pointsfusion.coordinate", "GPS");
    if (coordinate == "GCJ")
        projection_ = std::make_shared<fw::GCJ02Projection>();
    else if (coordinate == "BAIDU")
        projection_ = std::make_shared<fw::BaiduProjection>();
    else
        projection_ = std::make_shared<fw::MercatorProjection>();
    zoomLevel_ = projection_->zoomForResolution(gsd, position.y);
    FW_LOG(Info) << "Calculating zoom level using whole map: " << zoomLevel_;
    return true;
}
