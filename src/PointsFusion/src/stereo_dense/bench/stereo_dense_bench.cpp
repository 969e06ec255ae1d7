// SGM_CPU::compute against a bare StereoSGBM with the same parameters from
// the minimum disparity (the engine before it matched the band of the first
// minDisparity + numDisparities columns), on one 1368 x 912 pair and on
// Middlebury's aloe pair with its ground truth (from Debian's opencv-doc),
// and the dense stage's throughput over 20 pairs against the rate its
// serialised matcher allows.

#include "../test/stereo_scene.h"
#include "stereo_dense/dense_depth.h"
#include "stereo_dense/sgm_cpu.h"

#include "fw/messenger.h"
#include "fw/settings.h"

#include <benchmark/benchmark.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>

namespace {

struct BenchScene : stereo_test::PlaneScene {
    BenchScene() : PlaneScene(10.0, 3000) {
        width = 1368;
        height = 912;
        focal = 1140.0;
    }
};

BenchScene& scene() {
    static BenchScene s;
    return s;
}

std::string folder() {
    static const std::string path = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "stereo-dense-bench-XXXXXX").string();
        const char* made = mkdtemp(pattern.data());
        return std::string(made ? made : ".");
    }();
    return path;
}

// A rectified pair: two straight-down views 15 m apart along the image rows.
struct Pair {
    cv::Mat left, right;
    int dispMin = 0;
    Pair() {
        cv::Mat l = scene().view(0, 0), r = scene().view(15, 0);
        left = l.channels() == 1 ? l : cv::Mat();
        right = r.channels() == 1 ? r : cv::Mat();
        // Depths of the tilted plane stay below 130 m.
        dispMin = int(15.0 * scene().focal / 130.0);
    }
};

const Pair& pair() {
    static Pair p;
    return p;
}

// Valid pixels (a disparity of at least dispMin) and those within 1 px of
// the truth, as shares of the pixels that have a truth (a truth of 0 is
// unknown).
struct Quality {
    double valid = 0.0, within1px = 0.0;
};

Quality quality(const cv::Mat& disparity, const cv::Mat& truth, int dispMin) {
    int64_t known = 0, valid = 0, good = 0;
    for (int y = 0; y < truth.rows; ++y)
        for (int x = 0; x < truth.cols; ++x) {
            const float t = truth.at<float>(y, x);
            if (!(t > 0.0f)) continue;
            ++known;
            const float d = disparity.at<float>(y, x);
            if (d < float(dispMin)) continue;
            ++valid;
            good += std::fabs(d - t) <= 1.0f ? 1 : 0;
        }
    Quality q;
    if (known == 0) return q;
    q.valid = double(valid) / double(known);
    q.within1px = double(good) / double(known);
    return q;
}

// Today's matching before the band: StereoSGBM from dispMin on the whole pair.
cv::Mat bareStereoSgbm(const cv::Mat& left, const cv::Mat& right, int dispMin) {
    cv::Ptr<cv::StereoSGBM> matcher = cv::StereoSGBM::create(dispMin, SGM_CPU::numDisparities(left.cols), 3, 72, 288,
                                                             1, 63, 30, 100, 32, cv::StereoSGBM::MODE_SGBM);
    cv::Mat disparity, out;
    matcher->compute(left, right, disparity);
    disparity.convertTo(out, CV_32F, 0.0625, 0.0);
    return out;
}

// Truth of the synthetic pair: f b / depth.
const cv::Mat& pairTruth() {
    static const cv::Mat truth = [] {
        cv::Mat t(scene().height, scene().width, CV_32FC1);
        for (int y = 0; y < t.rows; ++y)
            for (int x = 0; x < t.cols; ++x) {
                const float d = float(15.0 * scene().focal /
                                      scene().ground.depthAt(scene().K(), scene().down(), {0, 0, scene().altitude}, x, y));
                t.at<float>(y, x) = x - d >= 1.0f ? d : 0.0f;  // 0 where the ground leaves the right view
            }
        return t;
    }();
    return truth;
}

void report(benchmark::State& state, const Quality& q) {
    state.counters["pairs_per_s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["valid_share"] = q.valid;
    state.counters["within_1px_share"] = q.within1px;
}

void BM_SgmCpuCompute(benchmark::State& state) {
    const Pair& p = pair();
    SGM_CPU engine;
    cv::Mat map;
    for (auto _ : state) map = engine.compute(p.left, p.right, p.dispMin, p.dispMin * 3)[0].typedRef<cv::Mat>();
    report(state, quality(map, pairTruth(), p.dispMin));
}

void BM_BareStereoSgbm(benchmark::State& state) {
    const Pair& p = pair();
    cv::Mat map;
    for (auto _ : state) map = bareStereoSgbm(p.left, p.right, p.dispMin);
    report(state, quality(map, pairTruth(), p.dispMin));
}

// Middlebury's aloe pair at full size (1282 x 1110); its truth holds the
// disparity in pixels, 0 where unknown.
struct Aloe {
    cv::Mat left, right, truth;
    int dispMin = 0;
    Aloe() {
        const std::string folder = "/usr/share/doc/opencv-doc/examples/data/";
        left = cv::imread(folder + "aloeL.jpg", cv::IMREAD_GRAYSCALE);
        right = cv::imread(folder + "aloeR.jpg", cv::IMREAD_GRAYSCALE);
        const cv::Mat gt = cv::imread(folder + "aloeGT.png", cv::IMREAD_GRAYSCALE);
        if (left.empty() || right.empty() || gt.empty() || left.size() != gt.size()) {
            left.release();
            return;
        }
        gt.convertTo(truth, CV_32F);
        double smallest = 255.0;
        for (int y = 0; y < gt.rows; ++y)
            for (int x = 0; x < gt.cols; ++x)
                if (gt.at<uchar>(y, x) > 0) smallest = std::min(smallest, double(gt.at<uchar>(y, x)));
        dispMin = int(smallest) - 1;
    }
};

const Aloe& aloe() {
    static Aloe a;
    return a;
}

void BM_SgmCpuAloe(benchmark::State& state) {
    const Aloe& a = aloe();
    if (a.left.empty()) return state.SkipWithError("no aloe pair: install opencv-doc (scripts/setup.sh)");
    SGM_CPU engine;
    cv::Mat map;
    for (auto _ : state) map = engine.compute(a.left, a.right, a.dispMin, a.dispMin * 3)[0].typedRef<cv::Mat>();
    report(state, quality(map, a.truth, a.dispMin));
}

void BM_BareStereoSgbmAloe(benchmark::State& state) {
    const Aloe& a = aloe();
    if (a.left.empty()) return state.SkipWithError("no aloe pair: install opencv-doc (scripts/setup.sh)");
    cv::Mat map;
    for (auto _ : state) map = bareStereoSgbm(a.left, a.right, a.dispMin);
    report(state, quality(map, a.truth, a.dispMin));
}

// SGM_CPU that keeps the time spent matching.
class TimedEngine : public SGM_CPU {
public:
    dv::Var compute(const cv::Mat& left, const cv::Mat& right, int dispMin, int dispMax) override {
        const auto start = std::chrono::steady_clock::now();
        dv::Var result = SGM_CPU::compute(left, right, dispMin, dispMax);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return result;
    }
    double seconds = 0.0;  // written under the stage's matcher mutex
};

// An engine that answers a fixed disparity at once: what the stage costs
// beyond matching.
class InstantEngine : public TimedEngine {
public:
    dv::Var compute(const cv::Mat& left, const cv::Mat&, int, int) override {
        cv::Mat map(left.size(), CV_32FC1, cv::Scalar(200.0f));
        return dv::Var(std::vector<dv::Var>{dv::Var(map), dv::Var(rightViewDisparity(map))});
    }
};

template <typename Engine>
void stageTwentyPairs(benchmark::State& state) {
    std::vector<std::shared_ptr<MapFrame>> frames;
    for (uint64_t id = 1; id <= 21; ++id) frames.push_back(scene().frame(id, 15.0 * double(id) - 150.0, 0, folder()));
    using Future = std::shared_future<std::shared_ptr<ImageScaled>>;
    std::vector<Future> futures;
    fw::Subscriber subscriber = fw::Messenger::instance().subscribe(
        "sbt.dense_frame", 0, dv::VarFunction([&](const dv::Var& m) { futures.push_back(m.typedRef<Future>()); }));
    double matching = 0.0, wall = 0.0, feeding = 0.0;
    int64_t pairs = 0, good = 0;
    for (auto _ : state) {
        futures.clear();
        auto engine = std::make_shared<Engine>();
        const auto start = std::chrono::steady_clock::now();
        {
            DenseDepth stage(1.0f, engine);  // processed at full size, 1368 x 912
            for (const auto& f : frames) stage.AddFrame(f);
            feeding += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            for (const Future& f : futures) good += f.get() ? 1 : 0;
        }
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        matching += engine->seconds;
        pairs += int64_t(futures.size());
    }
    subscriber.shutdown();
    state.counters["pairs_per_s"] = double(pairs) / wall;
    state.counters["matcher_bound_pairs_per_s"] = double(pairs) / matching;
    state.counters["vs_matcher_bound"] = matching / wall;
    state.counters["feeding_s"] = feeding / double(state.iterations());
    state.counters["pairs_with_depth"] = double(good) / double(state.iterations());
}

void BM_StageTwentyPairs(benchmark::State& state) { stageTwentyPairs<TimedEngine>(state); }
void BM_StageTwentyPairsWithoutMatching(benchmark::State& state) { stageTwentyPairs<InstantEngine>(state); }

}  // namespace

BENCHMARK(BM_SgmCpuCompute)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_BareStereoSgbm)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_SgmCpuAloe)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_BareStereoSgbmAloe)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_StageTwentyPairs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_StageTwentyPairsWithoutMatching)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(folder());
    return 0;
}
