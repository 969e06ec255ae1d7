#include "fw/dense_map_frame.h"
#include "fw/map_point.h"

#include <gtest/gtest.h>

#include <thread>

// Observers add and erase points, readers copy observations and ask depths.
TEST(DenseFrameThreads, ObservationsUnderTheFrameMutex) {
    auto f = std::make_shared<MapFrame>(3, 0, fw::GImage(), "p",
                                        fw::CameraImpl::create({640, 480, 500, 500, 320, 240}),
                                        std::vector<double>{}, 1);
    std::vector<fw::KeyPoint> kps(400);
    ASSERT_TRUE(f->setKeyPoints(kps, fw::GImage()));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([f, t] {
            for (int i = 0; i < 100; ++i) {
                const size_t idx = size_t(t * 100 + i);
                auto p = std::make_shared<fw::MapPoint>(idx + 1, pt::Point3d(0, 0, 1.0 + double(i)));
                EXPECT_TRUE(f->addObservation(p, idx, true));
                if (i % 3 == 0) {
                    EXPECT_TRUE(f->eraseObservation(p, true));
                }
                fw::ObservationMap m;
                f->copyObservations(m);
                pt::Point2d inv;
                f->getKeyPointInverseDepth(int(idx), inv);
                f->getMedianDepth();
                std::string path;
                f->call("GetImagePath", &path);
                f->setPose(fw::SE3());
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(f->observationCount(), 4 * 66);
}
