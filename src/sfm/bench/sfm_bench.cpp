// Timed runs of the front end on synthetic flights (Release build):
//   live: the per-frame cost of trackFrame over a 200-frame serpentine
//         flight, in blocks of 25 frames (it must stay flat);
//   batch: the same 200 frames as a file dataset, the time of finish
//          (cross-strip matching and the adjustment of the whole block);
//   20mp: the live per-frame cost on 5472 x 3648 frames;
//   dji: the live per-frame cost over 200 frames of 4000 x 2250 (the real
//        DJI flight's size), kept small and scaled up before the clock runs.
// Live runs also time finish and print the worst error of neighbours in a
// strip against the truth (rotation, position relative to the baseline).
// Images are rendered before the clock runs. Usage: sfm_bench [live|batch|20mp|dji]...
#include "dataset/tarn_mapper_frame.h"
#include "fw/log.h"
#include "fw/map.h"
#include "fw/map_frame.h"
#include "pose_errors.h"
#include "sfm/front_end.h"
#include "synthetic/ground_scene.h"
#include "zel/node.h"
#include "zel/progress_node.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace {

constexpr double kLat = 22.5, kLon = 113.9;

class NullChain : public zel::Chain {
public:
    NullChain() : zel::Chain("Mapper", nullptr) { setProgressRecord(zel::mappingStages()); }
    void handle(const std::string&, std::shared_ptr<fw::GObject> data) override {
        ++events;
        if (auto frame = std::dynamic_pointer_cast<fw::MapFrame>(data)) located.push_back(frame);
    }
    int events = 0;
    std::vector<std::shared_ptr<fw::MapFrame>> located;
};

struct Flight {
    std::vector<std::shared_ptr<TarnMapperFrame>> frames;
    std::vector<synthetic::Shot> shots;
    int perStrip = 0;
    cv::Size size;  // of the frames' images; those kept smaller are scaled up to it when tracked
};

// Worst relative rotation (degrees) and relative position error (of the
// baseline) of consecutive frames of a strip.
void printNeighbourErrors(const Flight& flight, const std::vector<std::shared_ptr<fw::MapFrame>>& frames) {
    const sfm_test::NeighbourErrors e = sfm_test::neighbourErrors(flight.shots, frames, flight.perStrip);
    std::printf("  neighbours against the truth: worst rotation %.4f deg, worst relative position %.2f %% of the baseline\n",
                e.rotation, 100.0 * e.translation);
}

// strips x perStrip frames 15 m apart, strips 40 m apart, 100 m up, GPS
// 2 m / 3 m and gimbal 1 degree of noise; images of width x height rendered
// at renderWidth and scaled up.
Flight makeFlight(const synthetic::GroundScene& scene, int strips, int perStrip, int width, int height, int renderWidth,
                  bool keepSmall = false) {
    Flight flight;
    flight.size = cv::Size(width, height);
    flight.perStrip = perStrip;
    const double f = 0.666 * width;
    const double r = static_cast<double>(renderWidth) / width;
    const cv::Matx33d K(f * r, 0, width * r / 2, 0, f * r, height * r / 2, 0, 0, 1);
    const cv::Size renderSize(renderWidth, static_cast<int>(std::lround(height * r)));
    std::mt19937 rng(3);
    std::normal_distribution<double> unit(0.0, 1.0);
    uint64_t id = 0;
    for (int s = 0; s < strips; ++s)
        for (int i = 0; i < perStrip; ++i) {
            const bool east = s % 2 == 0;
            const int k = east ? i : perStrip - 1 - i;
            const double e = (k - (perStrip - 1) / 2.0) * 15.0, n = (s - (strips - 1) / 2.0) * 40.0;
            const synthetic::Shot shot = synthetic::shotOver(kLat, kLon, e, n, 100.0, east ? 90.0 : 270.0);
            cv::Mat image = scene.render(K, shot.R, shot.C, renderSize);
            if (renderSize.width != width && !keepSmall) cv::resize(image, image, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
            const double dn = 2.0 * unit(rng), de = 2.0 * unit(rng);
            std::vector<double> gps = {shot.lon + de / (6378137.0 * std::cos(kLat * synthetic::kDegree)) / synthetic::kDegree,
                                       shot.lat + dn / 6378137.0 / synthetic::kDegree,
                                       shot.alt + 3.0 * unit(rng),
                                       2.0, 2.0, 3.0, 100.0, 10.0,
                                       -90.0 + unit(rng), shot.yaw + unit(rng), unit(rng), 1.0, 1.0, 1.0};
            auto frame = std::make_shared<TarnMapperFrame>(id++, "", 0.0, gps,
                                                           std::vector<double>{double(width), double(height), f, f, width / 2.0,
                                                                               height / 2.0, 0, 0, 0, 0, 0});
            frame->setImage(fw::GImage(image), 0, 0);
            flight.frames.push_back(frame);
            flight.shots.push_back(shot);
        }
    return flight;
}

double since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

void live(const Flight& flight, int block, const char* title) {
    NullChain chain;
    auto frontEnd = createSfmInstance(R"({"live":true,"specific":{"globalsfm.intrinsic_refinement":"ADJUST_ALL"}})", &chain,
                                      nullptr, nullptr);
    frontEnd->setFrameCount(static_cast<int32_t>(flight.frames.size()));
    double sum = 0.0, worst = 0.0;
    std::printf("%s: live per-frame cost, %zu frames\n", title, flight.frames.size());
    for (size_t i = 0; i < flight.frames.size(); ++i) {
        const cv::Mat kept = flight.frames[i]->getImage(0, 0);
        if (!kept.empty() && kept.cols != flight.size.width) {
            cv::Mat image;
            cv::resize(kept, image, flight.size, 0, 0, cv::INTER_LINEAR);
            flight.frames[i]->setImage(fw::GImage(image), 0, 0);
        }
        const auto t = std::chrono::steady_clock::now();
        frontEnd->trackFrame(flight.frames[i]);
        const double s = since(t);
        if (!kept.empty() && kept.cols != flight.size.width) flight.frames[i]->setImage(fw::GImage(kept), 0, 0);
        sum += s;
        worst = std::max(worst, s);
        if ((i + 1) % static_cast<size_t>(block) == 0 || i + 1 == flight.frames.size()) {
            const size_t n = (i % static_cast<size_t>(block)) + 1;
            std::printf("  frames %4zu-%4zu: mean %.3f s, worst %.3f s\n", i + 2 - n, i + 1, sum / n, worst);
            sum = worst = 0.0;
        }
    }
    const auto t = std::chrono::steady_clock::now();
    frontEnd->finish();
    std::printf("  finish %.3f s, %d frames handed on\n", since(t), chain.events);
    printNeighbourErrors(flight, chain.located);
}

void batch(const Flight& flight) {
    NullChain chain;
    auto frontEnd = createSfmInstance(R"({"live":false,"specific":{"globalsfm.intrinsic_refinement":"ADJUST_ALL"}})", &chain,
                                      nullptr, nullptr);
    frontEnd->setFrameCount(static_cast<int32_t>(flight.frames.size()));
    auto t = std::chrono::steady_clock::now();
    for (const auto& frame : flight.frames) frontEnd->trackFrame(frame);
    const double tracking = since(t);
    t = std::chrono::steady_clock::now();
    frontEnd->finish();
    std::printf("batch: %zu frames: tracking %.1f s (%.3f s per frame), finish (cross-strip matching and adjustment) %.1f s\n",
                flight.frames.size(), tracking, tracking / flight.frames.size(), since(t));
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> runs;
    for (int i = 1; i < argc; ++i) runs.emplace_back(argv[i]);
    if (runs.empty()) runs = {"live", "batch", "20mp", "dji"};
    const synthetic::GroundScene base = synthetic::GroundScene::make(8000, 0.1);
    synthetic::GroundScene scene = base;
    synthetic::placeScene(scene, kLat, kLon);
    for (const std::string& run : runs) {
        if (run == "live" || run == "batch") {
            const Flight flight = makeFlight(scene, 5, 40, 1368, 912, 1368);
            if (run == "live") live(flight, 25, "1368 x 912");
            else batch(flight);
        } else if (run == "20mp") {
            const Flight flight = makeFlight(scene, 1, 12, 5472, 3648, 1368);
            live(flight, 4, "5472 x 3648");
        } else if (run == "dji") {
            const Flight flight = makeFlight(scene, 5, 40, 4000, 2250, 1368, true);
            live(flight, 25, "4000 x 2250");
        } else {
            std::fprintf(stderr, "unknown run %s\n", run.c_str());
            return 1;
        }
    }
    return 0;
}
