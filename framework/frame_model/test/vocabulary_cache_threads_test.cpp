#include "fw/dense_map_frame.h"
#include "fw/settings.h"
#include "fw/vocabulary.h"
#include "../../vocabulary/test/vocabulary_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

// Each test runs in a process of its own, so the cache starts empty every time.

namespace {

std::shared_ptr<MapFrame> frameWithDescriptors(const std::vector<unsigned char>& fills) {
    auto f = std::make_shared<MapFrame>(1, 0, fw::GImage(), "",
                                        fw::CameraImpl::create({640, 480, 500, 500, 320, 240}),
                                        std::vector<double>{}, 1);
    std::vector<unsigned char> rows;
    std::vector<fw::KeyPoint> kps;
    for (unsigned char b : fills) {
        const auto r = vocabtest::bytesOf(b);
        rows.insert(rows.end(), r.begin(), r.end());
        kps.emplace_back();
    }
    f->setKeyPoints(kps, fw::GImage(int(fills.size()), 16, CV_8UC1, rows.data(), true));
    return f;
}

}  // namespace

TEST(VocabularyCacheThreads, InMemoryFileLoadsOnceForManyFrames) {
    fw::Settings::instance().setvar("SLAM.Vocabulary", "memory.bow", true);
    const std::string bytes = vocabtest::twoLevels().bytes();
    fw::FileResource::FileBuffer& buffer = fw::FileResource::getResource("memory.bow");
    buffer.data = bytes.data();
    buffer.size = bytes.size();

    std::vector<std::thread> threads;
    std::vector<const fw::Vocabulary*> seen(8, nullptr);
    std::vector<fw::BowVector> bows(8);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            seen[size_t(t)] = fw::sharedVocabulary();
            auto frame = frameWithDescriptors({0x0e, 0xfe});
            frame->copyBoWVector(bows[size_t(t)]);
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 8; ++t) {
        ASSERT_NE(seen[size_t(t)], nullptr);
        EXPECT_EQ(seen[size_t(t)], seen[0]);
        EXPECT_EQ(bows[size_t(t)], bows[0]);
    }
    EXPECT_EQ(seen[0]->size(), 4u);
    // Words 1 (weight 1) and 3 (weight 2), L1-normalised.
    ASSERT_EQ(bows[0].size(), 2u);
    EXPECT_FLOAT_EQ(bows[0].at(1), 1.0f / 3);
    EXPECT_FLOAT_EQ(bows[0].at(3), 2.0f / 3);
}

TEST(VocabularyCacheThreads, FileNamedBySettingAndRetryAfterFailure) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("vocab_" + std::to_string(getpid()) + ".bow")).string();
    std::remove(path.c_str());
    fw::Settings::instance().setvar("SLAM.Vocabulary", path, true);

    auto frame = frameWithDescriptors({0x01, 0x01, 0xf8});
    fw::BowVector bow;
    testing::internal::CaptureStderr();
    EXPECT_EQ(fw::sharedVocabulary(), nullptr);
    EXPECT_FALSE(frame->copyBoWVector(bow));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Could not open file " + path),
              std::string::npos);

    // The next request tries again and finds the file.
    {
        std::ofstream out(path, std::ios::binary);
        out << vocabtest::twoLevels().bytes();
    }
    ASSERT_TRUE(frame->copyBoWVector(bow));
    ASSERT_EQ(bow.size(), 2u);
    EXPECT_FLOAT_EQ(bow.at(0), 0.4f);  // 2 x 0.5 and 1.5, normalised
    EXPECT_FLOAT_EQ(bow.at(2), 0.6f);
    fw::FeatureVector fv;
    ASSERT_TRUE(frame->copyFeatureVector(fv));
    // Levels up = depth - 3 = -1: the node at depth 3 is never reached, so the root.
    ASSERT_EQ(fv.size(), 1u);
    EXPECT_EQ(fv.at(0), (std::vector<uint32_t>{0, 1, 2}));
    // Kept: a copy without the vocabulary.
    std::remove(path.c_str());
    fw::BowVector again;
    EXPECT_TRUE(frame->copyBoWVector(again));
    EXPECT_EQ(again, bow);
    std::remove(path.c_str());
}

TEST(VocabularyCacheThreads, NewKeyPointsGiveNewVectors) {
    fw::Settings::instance().setvar("SLAM.Vocabulary", "again.bow", true);
    const std::string bytes = vocabtest::twoLevels().bytes();
    fw::FileResource::FileBuffer& buffer = fw::FileResource::getResource("again.bow");
    buffer.data = bytes.data();
    buffer.size = bytes.size();

    auto frame = frameWithDescriptors({0x01});
    fw::BowVector bow;
    ASSERT_TRUE(frame->copyBoWVector(bow));
    EXPECT_EQ(bow, (fw::BowVector{{0, 1.0f}}));
    // Other descriptors: the vectors are computed again, not kept from before.
    std::vector<unsigned char> rows = vocabtest::bytesOf(0xfe);
    ASSERT_TRUE(frame->setKeyPoints({fw::KeyPoint()}, fw::GImage(1, 16, CV_8UC1, rows.data(), true)));
    ASSERT_TRUE(frame->copyBoWVector(bow));
    EXPECT_EQ(bow, (fw::BowVector{{3, 1.0f}}));
}
