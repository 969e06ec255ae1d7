#include "fw/map.h"
#include "fw/map_frame.h"
#include "fw/map_point.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

// Pose writers and readers on a frame, map points and map frames shared between threads.
TEST(MapFrameThreads, PoseMapAndPointsUnderTheirLocks) {
    const auto frame = std::make_shared<fw::MapFrame>(1, 0);
    const auto point = std::make_shared<fw::MapPoint>(2);
    fw::Map map;
    std::atomic<bool> bad{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                const double v = t * 1000 + i;
                frame->setPose(fw::SIM3(fw::SE3(fw::SO3(), {v, v, v}), v + 1));
                const fw::SE3 p = frame->getPose();
                if (p.translation.x != p.translation.z) bad = true;
                if (frame->getMedianDepth() < 1) bad = true;
                point->setPosition({v, v, v});
                const pt::Point3d q = point->getPosition();
                if (q.x != q.y) bad = true;
                point->addObservation(uint64_t(t * 1000 + i), size_t(i));
                if (i % 2) point->eraseObservation(uint64_t(t * 1000 + i));
                map.addFrame(frame);
                std::vector<std::shared_ptr<fw::MapFrame>> frames;
                map.getFrames(frames);
                if (frames.empty()) bad = true;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_FALSE(bad);
    EXPECT_EQ(point->observationCount(), 4u * 250u);
    EXPECT_EQ(map.frameCount(), 2000u);
}
