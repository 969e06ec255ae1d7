// Depth of a frame from a stereo pair over a synthetic tilted plane, with the
// partner in each of the four directions; the failures of the pair.

#include "stereo_scene.h"
#include "stereo_dense/dense_depth.h"
#include "stereo_dense/sgm_cpu.h"

#include "testsupport/captured_log.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

using stereo_test::PlaneScene;
using testsupport::CapturedLog;

std::shared_ptr<ImageScaled> recordOf(const std::shared_ptr<fw::MapFrame>& frame) {
    auto record = std::make_shared<ImageScaled>();
    record->frame = frame;
    record->loadImage();
    return record;
}

class PairDepthTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { scene = new PlaneScene(); }
    static void TearDownTestSuite() { delete scene; }
    static PlaneScene* scene;
    testsupport::TempDir dir;
};
PlaneScene* PairDepthTest::scene = nullptr;

struct Direction {
    const char* name;
    double east, north;  // partner offset in metres
};

TEST_F(PairDepthTest, FourDirectionsGiveTheTrueDepth) {
    const Direction directions[] = {
        {"partner right: horizontal", 20, 0},
        {"partner left: roles exchanged", -20, 0},
        {"partner above: vertical", 0, 20},
        {"partner below: vertical, exchanged", 0, -20},
    };
    DenseDepth stage(4.0f, std::make_shared<SGM_CPU>());
    uint64_t id = 1;
    for (const Direction& d : directions) {
        SCOPED_TRACE(d.name);
        auto own = recordOf(scene->frame(id++, 0, 0, dir.path()));
        auto partner = recordOf(scene->frame(id++, d.east, d.north, dir.path()));
        ASSERT_TRUE(stage.computePairDepth(own, partner));

        const int W = scene->width, H = scene->height;  // narrower than 960: full size
        ASSERT_EQ(own->depth.size(), cv::Size(W, H));
        ASSERT_EQ(own->rectified.size(), cv::Size(W, H));
        EXPECT_EQ(own->rectified.type(), CV_8UC3);
        EXPECT_EQ(cv::countNonZero(own->consistency == 1), W * H);
        EXPECT_TRUE(own->validMask.empty());
        EXPECT_GT(own->minDepth, 85.0f);
        EXPECT_LT(own->maxDepth, 115.0f);

        int accepted = 0, off = 0;
        std::vector<double> errors;
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const float z = own->depth.at<float>(y, x);
                if (z == 0.0f) continue;
                ++accepted;
                ASSERT_GT(z, 0.0f);
                ASSERT_LE(z, own->maxDepth);
                const double truth = scene->truth(own->K, own->pose, x, y);
                const double error = std::fabs(z - truth) / truth;
                errors.push_back(error);
                if (error > 0.01) ++off;
            }
        EXPECT_GE(accepted, 0.2 * W * H);
        std::nth_element(errors.begin(), errors.begin() + errors.size() / 2, errors.end());
        EXPECT_LT(errors[errors.size() / 2], 0.002) << "median relative error";
        EXPECT_LE(off, accepted / 200) << "depths more than 1 % off, of " << accepted;
    }
}

// Exact sparse points of flat ground all lie at one depth, whose disparity
// (81.2 px here) is just above the first one searched (81): the surface
// around them still gets its depth.
TEST_F(PairDepthTest, FlatGroundWithExactSparsePoints) {
    const PlaneScene flat(0.0);
    DenseDepth stage(4.0f, std::make_shared<SGM_CPU>());
    auto own = recordOf(flat.frame(201, 0, 0, dir.path()));
    auto partner = recordOf(flat.frame(202, 20.3, 0, dir.path()));
    ASSERT_TRUE(stage.computePairDepth(own, partner));
    EXPECT_LT(own->maxDepth, 100.0f * 1.05f);
    const int accepted = cv::countNonZero(own->depth);
    EXPECT_GE(accepted, 0.5 * flat.width * flat.height);
    std::vector<double> errors;
    for (int y = 0; y < flat.height; ++y)
        for (int x = 0; x < flat.width; ++x)
            if (const float z = own->depth.at<float>(y, x); z > 0.0f)
                errors.push_back(std::fabs(z - flat.truth(own->K, own->pose, x, y)) / 100.0);
    std::nth_element(errors.begin(), errors.begin() + errors.size() / 2, errors.end());
    EXPECT_LT(errors[errors.size() / 2], 0.002) << "median relative error";
}

// Disparity maps of a fixed layout: rows [0, valid) hold d, rows [valid,
// negative) hold -1 (what the matcher gives rejected pixels when dispMin is
// 0), the rest 0.
class LayoutEngine : public DisparityCalculator {
public:
    LayoutEngine(double validShare, double negativeShare, float d) : valid_(validShare), negative_(negativeShare), d_(d) {}
    dv::Var compute(const cv::Mat& left, const cv::Mat&, int, int) override {
        cv::Mat map = cv::Mat::zeros(left.size(), CV_32FC1);
        const int a = int(valid_ * left.rows), b = int((valid_ + negative_) * left.rows);
        map.rowRange(0, a).setTo(d_);
        map.rowRange(a, b).setTo(-1.0f);
        return dv::Var(std::vector<dv::Var>{dv::Var(map), dv::Var(rightViewDisparity(map))});
    }

private:
    double valid_, negative_;
    float d_;
};

TEST_F(PairDepthTest, NegativeDisparitiesGiveNoDepthAndDoNotCount) {
    auto own = recordOf(scene->frame(101, 0, 0, dir.path()));
    auto partner = recordOf(scene->frame(102, 20, 0, dir.path()));
    {
        // 15 % valid and 60 % negative: 75 % would pass the fifth, 15 % does not.
        CapturedLog log;
        DenseDepth stage(4.0f, std::make_shared<LayoutEngine>(0.15, 0.6, 80.0f));
        EXPECT_FALSE(stage.processFrame(own, {partner}));
        EXPECT_TRUE(own->depth.empty());
        EXPECT_NE(own->K[0], 0.0) << "the rectified camera is stored anyway";
        // Named with its accepted fraction (the eroded border takes a little).
        const std::string prefix = "Frame 101 left out of the maps: accepted fraction ";
        const std::vector<std::string> warnings = log.texts(fw::kWarning);
        ASSERT_EQ(warnings.size(), 1u);
        ASSERT_EQ(warnings[0].rfind(prefix, 0), 0u) << warnings[0];
        EXPECT_NEAR(std::stod(warnings[0].substr(prefix.size())), 0.15, 0.01) << warnings[0];
        EXPECT_NE(warnings[0].find(" of its pixels, below 0.2"), std::string::npos) << warnings[0];
    }
    {
        CapturedLog log;
        DenseDepth stage(4.0f, std::make_shared<LayoutEngine>(0.3, 0.6, 80.0f));
        ASSERT_TRUE(stage.computePairDepth(own, partner));
        EXPECT_EQ(log.count("left out of the maps"), 0u);
        double lowest = 0, highest = 0;
        cv::minMaxLoc(own->depth, &lowest, &highest);
        EXPECT_EQ(lowest, 0.0) << "no negative depth";
        const int accepted = cv::countNonZero(own->depth);
        EXPECT_LE(accepted, int(0.3 * scene->height) * scene->width);
        EXPECT_GE(accepted, int(0.25 * scene->height) * scene->width);
    }
}

TEST_F(PairDepthTest, FailuresOfThePair) {
    DenseDepth stage(4.0f, std::make_shared<SGM_CPU>());
    auto own = recordOf(scene->frame(201, 0, 0, dir.path()));
    {
        CapturedLog log;
        auto same = recordOf(scene->frame(201, 20, 0, dir.path()));
        std::string why;
        EXPECT_FALSE(stage.computePairDepth(own, same, why));
        EXPECT_EQ(why, "its stereo partner is the frame itself");
        EXPECT_EQ(log.count("Somehow Duplicated frames are passed - FRAME: 201", fw::kError), 1u);
    }
    {
        CapturedLog log;  // the same place: no baseline, nothing to divide by
        std::string why;
        EXPECT_FALSE(stage.computePairDepth(own, recordOf(scene->frame(202, 0, 0, dir.path())), why));
        EXPECT_EQ(why, "no baseline to its stereo partner, frame 202");
        EXPECT_TRUE(own->depth.empty());
    }
    {
        CapturedLog log;  // sparse points 2 m away: the expected disparity exceeds the image
        auto near = recordOf(scene->frame(203, 0, 0, dir.path(), 2.0));
        std::string why;
        EXPECT_FALSE(stage.computePairDepth(near, recordOf(scene->frame(204, 20, 0, dir.path())), why));
        EXPECT_EQ(why.rfind("no overlap with its stereo partner, frame 204 (baseline 20", 0), 0u) << why;
        EXPECT_EQ(log.count("Negative Overlap Calculated - DIS: 20 Overlap: ", fw::kWarning), 1u);
        EXPECT_NEAR(near->minDepth, 2.0f, 1e-3);
        EXPECT_TRUE(near->depth.empty());
    }
    {
        CapturedLog log;  // no sparse points
        auto bare = recordOf(scene->frame(205, 0, 0, dir.path(), 0.0, 0, 0));
        std::string why;
        EXPECT_FALSE(stage.computePairDepth(bare, recordOf(scene->frame(206, 20, 0, dir.path())), why));
        EXPECT_EQ(why, "no depth range from its sparse points");
        EXPECT_EQ(log.count("Failed to read depth range from sparse cloud.", fw::kInfo), 1u);
    }
    {
        // An image that could not be read fails the pair, named once by the task.
        CapturedLog log;
        auto partner = std::make_shared<ImageScaled>();
        partner->frame = scene->frame(207, 20, 0, dir.path());
        EXPECT_FALSE(stage.processFrame(own, {partner}));
        EXPECT_EQ(log.texts(fw::kWarning),
                  std::vector<std::string>{"Frame 201 left out of the maps: its stereo partner, frame 207, has no image"});
    }
}

TEST(ProcessingFactorTest, Table) {
    struct Case {
        float scale;
        int width;
        int processed;
    };
    const Case cases[] = {{4, 5472, 1368}, {4, 3000, 960}, {4, 2000, 960}, {4, 1500, 960}, {4, 1000, 960},
                          {4, 800, 800},   {1, 1368, 1368}, {2, 4000, 2000}, {0, 4000, 4000}, {-2, 4000, 4000}};
    for (const Case& c : cases) {
        auto camera = fw::CameraImpl::create({double(c.width), 100, 500, 500, c.width / 2.0, 50});
        const double k = DenseDepth::processingFactor(c.scale, c.width);
        if (k < 1.0) {
            ASSERT_TRUE(camera->scaleBy(k));
        }
        EXPECT_EQ(camera->width, c.processed) << "scale " << c.scale << " width " << c.width;
    }
}

}  // namespace
