// SGM_CPU::compute against a bare StereoSGBM with the same parameters on one
// 1368 x 912 pair, and the dense stage's throughput over 20 pairs against the
// rate its serialised matcher allows.

#include "../test/stereo_scene.h"
#include "stereo_dense/dense_depth.h"
#include "stereo_dense/sgm_cpu.h"

#include "fw/messenger.h"
#include "fw/settings.h"

#include <benchmark/benchmark.h>

#include <opencv2/calib3d.hpp>

#include <chrono>
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

void BM_SgmCpuCompute(benchmark::State& state) {
    const Pair& p = pair();
    SGM_CPU engine;
    for (auto _ : state) benchmark::DoNotOptimize(engine.compute(p.left, p.right, p.dispMin, p.dispMin * 3));
    state.counters["pairs_per_s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_BareStereoSgbm(benchmark::State& state) {
    const Pair& p = pair();
    const int numDisparities = SGM_CPU::numDisparities(p.left.cols);
    for (auto _ : state) {
        cv::Ptr<cv::StereoSGBM> matcher =
            cv::StereoSGBM::create(p.dispMin, numDisparities, 3, 72, 288, 1, 63, 30, 100, 32, cv::StereoSGBM::MODE_SGBM);
        cv::Mat disparity;
        matcher->compute(p.left, p.right, disparity);
        benchmark::DoNotOptimize(disparity.data);
    }
    state.counters["pairs_per_s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
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
BENCHMARK(BM_StageTwentyPairs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_StageTwentyPairsWithoutMatching)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(folder());
    return 0;
}
