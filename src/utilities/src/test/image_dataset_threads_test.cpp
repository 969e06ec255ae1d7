// Loading ahead on loader threads, the live stream, images that cannot be read.
#include "dataset/image_dataset.h"
#include "fw/camera.h"
#include "test_helpers.h"
#include "testsupport/run_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include <chrono>
#include <filesystem>
#include <sys/stat.h>
#include <thread>

using nlohmann::json;
using datasettest::CapturedLog;
using datasettest::TempDir;
using datasettest::record;
using datasettest::writeImage;

namespace {

std::string md5sumOf(const std::string& path) {
    const auto r = testsupport::runProcess({"/usr/bin/md5sum", path});
    return r.out.substr(0, 32);
}

std::string writeDataset(const TempDir& dir, const json& records) { return dir.write("frames.json", records.dump()); }

}  // namespace

TEST(ImageDatasetThreads, FramesInOrderWithPixelsLabelAndFittedCamera) {
    TempDir dir;
    json records = json::array();
    for (int i = 0; i < 20; ++i) records.push_back(record(writeImage(dir, std::to_string(i) + ".png", 32, 24, i), 64, 48));
    ImageDataset dataset(writeDataset(dir, records));
    const auto frames = dataset.frames();
    ASSERT_EQ(frames.size(), 20u);

    auto first = dataset.nextFrame();
    ASSERT_EQ(first, frames[0]);
    for (int i = 0; i < 8; ++i) EXPECT_NE(frames[i]->loadState().load(), TarnMapperFrame::kNew) << i;
    for (int i = 8; i < 20; ++i) EXPECT_EQ(frames[i]->loadState().load(), TarnMapperFrame::kNew) << i;
    EXPECT_EQ(dataset.nextFrame(), frames[1]);
    EXPECT_NE(frames[8]->loadState().load(), TarnMapperFrame::kNew);
    EXPECT_EQ(frames[9]->loadState().load(), TarnMapperFrame::kNew);

    for (size_t i = 2; i < 20; ++i) {
        auto frame = dataset.nextFrame();
        ASSERT_EQ(frame, frames[i]);
        EXPECT_EQ(frame->loadState().load(), TarnMapperFrame::kLoaded);
        cv::Mat pixels = frame->getImage(0, 0);
        EXPECT_EQ(pixels.cols, 32);
        EXPECT_EQ(pixels.rows, 24);
        EXPECT_EQ(pixels.type(), CV_8UC3);
        EXPECT_EQ(frame->label, md5sumOf(frame->imagePath()));
        EXPECT_EQ(frame->getCamera(0)->parameterVector(), (std::vector<double>{32, 24, 25, 25, 16, 12, 0, 0, 0, 0, 0}));
    }
    EXPECT_FALSE(dataset.nextFrame());
    EXPECT_FALSE(dataset.nextFrame());
}

TEST(ImageDatasetThreads, UnreadableImagesDoNotStopTheStream) {
    TempDir dir;
    const std::string missing = dir.file("missing.png");
    const std::string garbage = dir.write("garbage.png", "not an image at all");
    const std::string empty = dir.write("empty.png", "");
    json records = json::array({record(writeImage(dir, "0.png", 64, 48)), record(missing), record(garbage), record(empty),
                                record(writeImage(dir, "4.png", 64, 48))});
    CapturedLog log;
    ImageDataset dataset(writeDataset(dir, records));
    std::vector<std::shared_ptr<TarnMapperFrame>> got;
    while (auto frame = dataset.nextFrame()) got.push_back(frame);
    ASSERT_EQ(got.size(), 5u);
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i]->id, i);
    EXPECT_FALSE(cv::Mat(got[0]->getImage(0, 0)).empty());
    EXPECT_TRUE(cv::Mat(got[1]->getImage(0, 0)).empty());
    EXPECT_TRUE(got[1]->label.empty());
    EXPECT_EQ(got[1]->loadState().load(), TarnMapperFrame::kLoadFailed);
    EXPECT_TRUE(cv::Mat(got[2]->getImage(0, 0)).empty());
    EXPECT_EQ(got[2]->label, md5sumOf(garbage));
    EXPECT_EQ(got[2]->getCamera(0)->parameterVector()[0], 64.0);
    EXPECT_EQ(got[3]->label, "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_FALSE(cv::Mat(got[4]->getImage(0, 0)).empty());
    const auto errors = log.texts(fw::kError);
    EXPECT_NE(std::find(errors.begin(), errors.end(), "Failed to open " + missing), errors.end());
    EXPECT_NE(std::find(errors.begin(), errors.end(), "Failed to decode " + garbage), errors.end());
    EXPECT_NE(std::find(errors.begin(), errors.end(), "Failed to decode " + empty), errors.end());
}

// A folder, the zero device and a FIFO as image paths: never opened for
// reading (nothing waits on the FIFO or reads the device without end); each
// frame is handed out without pixels and with an ERROR naming its file.
TEST(ImageDatasetThreads, ImagePathsThatAreNoRegularFiles) {
    TempDir dir;
    const std::string folder = dir.file("folder.png");
    std::filesystem::create_directory(folder);
    const std::string fifo = dir.file("fifo.png");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::string> paths = {folder, "/dev/zero", fifo};
    json records = json::array({record(writeImage(dir, "0.png", 64, 48))});
    for (const auto& path : paths) records.push_back(record(path));
    records.push_back(record(writeImage(dir, "4.png", 64, 48)));
    CapturedLog log;
    ImageDataset dataset(writeDataset(dir, records));
    std::vector<std::shared_ptr<TarnMapperFrame>> got;
    while (auto frame = dataset.nextFrame()) got.push_back(frame);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_FALSE(cv::Mat(got[0]->getImage(0, 0)).empty());
    EXPECT_FALSE(cv::Mat(got[4]->getImage(0, 0)).empty());
    const auto errors = log.texts(fw::kError);
    for (size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(paths[i]);
        EXPECT_TRUE(cv::Mat(got[i + 1]->getImage(0, 0)).empty());
        EXPECT_TRUE(got[i + 1]->label.empty());
        EXPECT_EQ(got[i + 1]->loadState().load(), TarnMapperFrame::kLoadFailed);
        EXPECT_NE(std::find(errors.begin(), errors.end(), "Failed to open " + paths[i]), errors.end());
    }
    // The live dataset loads on the caller's thread: the same answers.
    ImageDatasetLive live(2);
    for (const auto& path : paths) ASSERT_TRUE(live.pushFrame(record(path).dump()));
    ASSERT_TRUE(live.pushFrame(""));
    for (size_t i = 0; i < paths.size(); ++i) {
        auto frame = live.nextFrame();
        ASSERT_TRUE(frame);
        EXPECT_TRUE(cv::Mat(frame->getImage(0, 0)).empty());
    }
    EXPECT_FALSE(live.nextFrame());
}

TEST(ImageDatasetThreads, DestroyedPartWayThrough) {
    TempDir dir;
    json records = json::array();
    for (int i = 0; i < 12; ++i) records.push_back(record(writeImage(dir, std::to_string(i) + ".png", 320, 240, i)));
    auto dataset = std::make_unique<ImageDataset>(writeDataset(dir, records));
    ASSERT_TRUE(dataset->nextFrame());
    auto kept = dataset->frames()[5];
    dataset.reset();  // joins the dispatcher and every loader
    EXPECT_TRUE(kept->loadState().load() == TarnMapperFrame::kLoaded || kept->loadState().load() == TarnMapperFrame::kQueued);
}

TEST(ImageDatasetThreads, LiveStreamFedFromAnotherThread) {
    TempDir dir;
    ImageDatasetLive dataset(3);
    EXPECT_TRUE(dataset.isOpen());
    EXPECT_EQ(dataset.frameCount(), 3);
    EXPECT_THROW(dataset.pushFrame("{\"uri\":"), json::parse_error);
    EXPECT_FALSE(dataset.pushFrame(R"({"uri":"no calibration"})"));

    const std::string image = writeImage(dir, "a.png", 64, 48);
    const std::string missing = dir.file("missing.png");
    std::thread feeder([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_TRUE(dataset.pushFrame(record(image).dump()));
        EXPECT_TRUE(dataset.pushFrame(record(missing).dump()));
    });
    auto first = dataset.nextFrame();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->id, 0u);
    EXPECT_FALSE(cv::Mat(first->getImage(0, 0)).empty());
    EXPECT_FALSE(first->label.empty());
    auto second = dataset.nextFrame();
    ASSERT_TRUE(second);
    EXPECT_TRUE(cv::Mat(second->getImage(0, 0)).empty());  // returned anyway
    feeder.join();

    std::thread ender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_TRUE(dataset.pushFrame(""));
    });
    const auto waited = std::chrono::steady_clock::now();
    EXPECT_FALSE(dataset.nextFrame());
    EXPECT_LT(std::chrono::steady_clock::now() - waited, std::chrono::milliseconds(1000));
    ender.join();
    EXPECT_FALSE(dataset.isOpen());
    // Records pushed after the end are still taken.
    EXPECT_TRUE(dataset.pushFrame(record(image).dump()));
    EXPECT_EQ(dataset.nextFrame()->id, 2u);
    EXPECT_FALSE(dataset.nextFrame());
}

// The prefetch budget holds loaders back beyond its bound, lets the frame the
// consumer waits for through, frees a frame's bytes when it is handed out
// and ends every wait when closed.
TEST(PrefetchBudgetThreads, BoundAwaitedFrameAndClose) {
    using namespace std::chrono_literals;
    PrefetchBudget budget(100);
    EXPECT_TRUE(budget.reserve(0, 60));
    EXPECT_TRUE(budget.reserve(1, 40));
    auto second = std::async(std::launch::async, [&] { return budget.reserve(2, 60); });
    EXPECT_EQ(second.wait_for(50ms), std::future_status::timeout);
    budget.release(0);
    ASSERT_EQ(second.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(second.get());
    EXPECT_EQ(budget.reserved(), 100);

    auto awaited = std::async(std::launch::async, [&] { return budget.reserve(3, 500); });
    EXPECT_EQ(awaited.wait_for(50ms), std::future_status::timeout);
    budget.awaiting(3);
    ASSERT_EQ(awaited.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(awaited.get());

    auto closed = std::async(std::launch::async, [&] { return budget.reserve(4, 1); });
    EXPECT_EQ(closed.wait_for(50ms), std::future_status::timeout);
    budget.close();
    ASSERT_EQ(closed.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(closed.get());
    budget.release(1);
    budget.release(2);
    budget.release(3);
    budget.release(7);  // never reserved: nothing
    EXPECT_EQ(budget.reserved(), 0);
}
