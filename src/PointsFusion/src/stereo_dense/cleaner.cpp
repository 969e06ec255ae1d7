#include "stereo_dense/cleaner.h"

#include "fw/log.h"
#include "fw/settings.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <thread>

namespace {

using Record = std::shared_ptr<ImageScaled>;

// Row-major rotation of a unit quaternion.
void rotationOf(const fw::SO3& q, double* R) {
    const double x = q.x, y = q.y, z = q.z, w = q.w;
    R[0] = 1 - 2 * (y * y + z * z);
    R[1] = 2 * (x * y - z * w);
    R[2] = 2 * (x * z + y * w);
    R[3] = 2 * (x * y + z * w);
    R[4] = 1 - 2 * (x * x + z * z);
    R[5] = 2 * (y * z - x * w);
    R[6] = 2 * (x * z - y * w);
    R[7] = 2 * (y * z + x * w);
    R[8] = 1 - 2 * (x * x + y * y);
}

// 3x3 inverse by cofactors; zero when singular.
void inverse3(const double* m, double* out) {
    const double c0 = m[4] * m[8] - m[5] * m[7];
    const double c1 = m[5] * m[6] - m[3] * m[8];
    const double c2 = m[3] * m[7] - m[4] * m[6];
    const double det = m[0] * c0 + m[1] * c1 + m[2] * c2;
    if (det == 0.0) {
        std::fill(out, out + 9, 0.0);
        return;
    }
    const double k = 1.0 / det;
    out[0] = c0 * k;
    out[1] = (m[2] * m[7] - m[1] * m[8]) * k;
    out[2] = (m[1] * m[5] - m[2] * m[4]) * k;
    out[3] = c1 * k;
    out[4] = (m[0] * m[8] - m[2] * m[6]) * k;
    out[5] = (m[2] * m[3] - m[0] * m[5]) * k;
    out[6] = c2 * k;
    out[7] = (m[1] * m[6] - m[0] * m[7]) * k;
    out[8] = (m[0] * m[4] - m[1] * m[3]) * k;
}

uint64_t idOf(const Record& r) { return r && r->frame ? r->frame->id : 0; }

int minConsistentViews() { return fw::Settings::instance().GetInt("pointsfusion.min_consistent_views", 2); }

}  // namespace

Cleaner::Cleaner() {
    pool_ = std::make_shared<fw::detail::ThreadPool>(1);
    fw::Messenger& messenger = fw::Messenger::instance();
    denseSubscriber_ = messenger.subscribe("sbt.dense_frame", 0, &Cleaner::onDenseFrame, this);
    stopSubscriber_ = messenger.subscribe("sbt.input.stop", 0, &Cleaner::onStopMessage, this);
    directSubscriber_ = messenger.subscribe("sbt.dense_frame_test", 0, &Cleaner::onDirectFrame, this);
}

Cleaner::~Cleaner() {
    denseSubscriber_.shutdown();
    directSubscriber_.shutdown();
    pool_.reset();  // the queued steps run first

    // Every frame that can still be checked against another leaves, oldest first.
    const int minViews = minConsistentViews();
    try {
        while (!window_.empty()) {
            const Record reference = window_.front();
            std::vector<View> views = viewsFor(reference);
            if (int(views.size()) < minViews) break;
            const auto start = std::chrono::steady_clock::now();
            checkConsistency(views, float(fw::Settings::instance().GetDouble("pointsfusion.same_depth_threshold", 0.01)),
                             minViews);
            fw::Messenger::instance().publish("sbt.cleaned_frames", reference);
            window_.pop_front();
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            FW_LOG(Info) << "Cleaner processed " << idOf(reference) << " in " << seconds << "s.";
        }
    } catch (const std::exception& e) {
        FW_LOG(Error) << "Cleaner: final flush failed: " << e.what();
    } catch (...) {
        FW_LOG(Error) << "Cleaner: final flush failed";
    }
    try {
        for (const Record& left : window_)
            FW_LOG(Warning) << "Frame " << idOf(left)
                            << " left out of the maps: the cleaner holds no other depth frame to check it against";
    } catch (...) {
        // Nothing may leave a destructor, and a warning that the log could not
        // take has nowhere else to go.
    }
    stopSubscriber_.shutdown();
    window_.clear();
}

void Cleaner::onDenseFrame(const std::shared_future<std::shared_ptr<ImageScaled>>& future) {
    if (!pool_) return;
    pool_->Add([this, future] { processNext(future); });
    while (pool_->pendingCount() >= 5) std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void Cleaner::onDirectFrame(const std::shared_ptr<ImageScaled>& record) {
    if (!record || !pool_) return;
    std::future<void> done = pool_->Add([this, record] {
        append(record);
        processQueue();
    });
    try {
        done.get();
    } catch (const std::exception&) {
        // A pool that stopped refuses the step.
    }
}

void Cleaner::onStopMessage(const bool&) { stopped_.store(true); }

void Cleaner::processNext(std::shared_future<std::shared_ptr<ImageScaled>> future) {
    Record record;
    try {
        record = future.get();
    } catch (...) {
        // A pair that yields nothing counts as no record. The pair's own
        // failures are logged where they happen (DenseDepth::processFrame);
        // what is left is a task refused by a dense pool under destruction,
        // at shutdown, with nothing to report.
    }
    if (!record) return;
    append(record);
    processQueue();
}

void Cleaner::append(const std::shared_ptr<ImageScaled>& record) {
    window_.push_back(record);
    window_.sort([](const Record& a, const Record& b) { return idOf(a) < idOf(b); });
}

bool Cleaner::processQueue() {
    try {
        const auto start = std::chrono::steady_clock::now();
        const int windowSize = fw::Settings::instance().GetInt("pointsfusion.clean_queuesize", 2);
        if (int(window_.size()) < windowSize || window_.empty()) return false;
        const Record reference = window_.front();
        std::vector<View> views = viewsFor(reference);
        if (stopped_.load()) return false;
        const int minViews = minConsistentViews();
        checkConsistency(views, float(fw::Settings::instance().GetDouble("pointsfusion.same_depth_threshold", 0.01)),
                         minViews);
        fw::Messenger::instance().publish("sbt.cleaned_frames", reference);
        window_.pop_front();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::cout << "Cleaner processed " << idOf(reference) << " in " << seconds << "s." << std::endl;
        return true;
    } catch (const std::exception& e) {
        FW_LOG(Error) << "Cleaner: step failed: " << e.what();
    } catch (...) {
        FW_LOG(Error) << "Cleaner: step failed";
    }
    return false;
}

std::vector<Cleaner::View> Cleaner::viewsFor(const std::shared_ptr<ImageScaled>& reference) {
    std::vector<View> views;
    views.push_back(viewOf(*reference));
    for (const Record& other : window_) {
        if (other == reference || idOf(other) == idOf(reference)) continue;
        if (other->depth.empty()) {
            FW_LOG(Error) << "Should not happen with image index = " << idOf(other);
            continue;
        }
        views.push_back(viewOf(*other));
    }
    return views;
}

Cleaner::View Cleaner::viewOf(const ImageScaled& record) {
    View v;
    v.depth = record.depth;
    v.count = record.consistency;
    std::copy(record.K, record.K + 9, v.K);
    const fw::SE3 worldToCamera = record.pose.inverse();
    rotationOf(worldToCamera.rotation, v.R);
    v.t[0] = worldToCamera.translation.x;
    v.t[1] = worldToCamera.translation.y;
    v.t[2] = worldToCamera.translation.z;
    v.minDepth = record.minDepth;
    v.maxDepth = record.maxDepth;
    return v;
}

void Cleaner::checkConsistency(std::vector<View>& views, float sameDepthThreshold, int minViews) {
    const int V = int(views.size());
    if (V < minViews) {
        FW_LOG(Error) << "Cleaned Point Number: 0 (image number = " << V << " too few imgs)";
        return;
    }
    View& ref = views[0];
    if (ref.depth.empty() || ref.depth.type() != CV_32FC1 || ref.count.type() != CV_8UC1 ||
        ref.count.size() != ref.depth.size())
        return;
    for (int k = 1; k < V; ++k)
        if (views[k].depth.type() != CV_32FC1 || views[k].count.type() != CV_8UC1 ||
            views[k].count.size() != views[k].depth.size())
            return;
    double Kinv[9];
    inverse3(ref.K, Kinv);
    const double tau = double(sameDepthThreshold);
    for (int r = 0; r < ref.depth.rows; ++r) {
        const float* depthRow = ref.depth.ptr<float>(r);
        uint8_t* countRow = ref.count.ptr<uint8_t>(r);
        for (int c = 0; c < ref.depth.cols; ++c) {
            const double d = depthRow[c];
            uint8_t& n = countRow[c];
            if (!(d > 0.0) || n == 0) continue;
            // Camera point, then world: R0^T (p - t0).
            const double p[3] = {d * (Kinv[0] * c + Kinv[1] * r + Kinv[2]) - ref.t[0],
                                 d * (Kinv[3] * c + Kinv[4] * r + Kinv[5]) - ref.t[1],
                                 d * (Kinv[6] * c + Kinv[7] * r + Kinv[8]) - ref.t[2]};
            const double X[3] = {ref.R[0] * p[0] + ref.R[3] * p[1] + ref.R[6] * p[2],
                                 ref.R[1] * p[0] + ref.R[4] * p[1] + ref.R[7] * p[2],
                                 ref.R[2] * p[0] + ref.R[5] * p[1] + ref.R[8] * p[2]};
            int invisible = 0;
            for (int k = 1; k < V; ++k) {
                const View& v = views[k];
                const double q[3] = {v.R[0] * X[0] + v.R[1] * X[1] + v.R[2] * X[2] + v.t[0],
                                     v.R[3] * X[0] + v.R[4] * X[1] + v.R[5] * X[2] + v.t[1],
                                     v.R[6] * X[0] + v.R[7] * X[1] + v.R[8] * X[2] + v.t[2]};
                const double x = v.K[0] * q[0] + v.K[1] * q[1] + v.K[2] * q[2];
                const double y = v.K[3] * q[0] + v.K[4] * q[1] + v.K[5] * q[2];
                const double w = v.K[6] * q[0] + v.K[7] * q[1] + v.K[8] * q[2];
                const double uf = x / w + 0.5, vf = y / w + 0.5;
                if (!(w > 0.0) || !std::isfinite(uf) || !std::isfinite(vf) || uf < 1.0 || vf < 1.0 ||
                    uf >= double(v.depth.cols - 1) || vf >= double(v.depth.rows - 1)) {
                    ++invisible;
                    continue;
                }
                const int u = int(uf), vv = int(vf);
                const double z = w;
                if (z > double(v.maxDepth)) {
                    ++invisible;
                    continue;
                }
                const double other = v.depth.at<float>(vv, u);
                if (z * tau > std::fabs(other - z)) {
                    const int nk = v.count.at<uint8_t>(vv, u);
                    if (nk == 0 || nk >= minViews) {
                        n = 0;
                        break;
                    }
                    if (n < 255) ++n;
                }
            }
            if (V - invisible <= 3 && n == 2) n = uint8_t(std::min(minViews, 255));
        }
    }
}
