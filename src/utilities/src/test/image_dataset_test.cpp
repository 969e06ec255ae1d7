// Dataset descriptions, dataset files and the camera fitted to the image size.
#include "dataset/image_dataset.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

using nlohmann::json;
using datasettest::CapturedLog;
using datasettest::TempDir;

TEST(CreateImageDataset, DescriptionTable) {
    TempDir dir;
    const std::string file = dir.write("frames.json", "[]");
    struct Case {
        json description;
        const char* kind;  // "live", "file" or "none"
        int frameCnt;
    };
    const std::vector<Case> cases = {
        {{{"live", true}, {"form", "anything"}}, "live", -1},
        {{{"live", true}, {"form", ""}, {"frame_cnt", 12.9}}, "live", 12},
        {{{"live", true}, {"form", "x"}, {"frame_cnt", "12"}}, "live", -1},
        {{{"live", true}, {"form", "x"}, {"frame_cnt", 1e300}}, "live", 2147483647},
        {{{"live", "yes"}, {"form", "zel_frame"}, {"uri", file}}, "file", 0},
        {{{"form", "zel_frame"}, {"uri", file}}, "file", 0},
        {{{"live", false}, {"form", "json"}, {"uri", file}}, "none", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description.dump());
        auto dataset = createImageDataset(c.description);
        if (std::string(c.kind) == "none") {
            EXPECT_FALSE(dataset);
            continue;
        }
        ASSERT_TRUE(dataset);
        const bool live = dynamic_cast<ImageDatasetLive*>(dataset.get()) != nullptr;
        EXPECT_EQ(live, std::string(c.kind) == "live");
        EXPECT_EQ(dataset->isOpen(), live);
        EXPECT_EQ(dataset->frameCount(), c.frameCnt);
    }
}

TEST(CreateImageDataset, MissingFormOrUriThrowsTheTypeError) {
    const json cases[] = {json{{"live", true}}, json{{"uri", "x"}}, json{{"form", 3}},
                          json{{"form", "zel_frame"}}, json{{"form", "zel_frame"}, {"uri", 1}}};
    for (const json& c : cases) {
        SCOPED_TRACE(c.dump());
        try {
            createImageDataset(c);
            FAIL() << "no exception";
        } catch (const json::type_error& e) {
            EXPECT_NE(std::string(e.what()).find("type must be string, but is "), std::string::npos) << e.what();
        }
    }
}

TEST(ImageDatasetFile, RootsAndRecords) {
    TempDir dir;
    struct Case {
        std::string text;
        size_t frames;
    };
    const std::vector<Case> cases = {
        {"[]", 0},
        {"null", 0},
        {"{}", 0},
        {R"([{"uri":"a","calibration":{"width":1,"height":1,"fx":1,"fy":1,"cx":1,"cy":1}},
             {"calibration":{}},
             {"uri":"c","calibration":{"width":1,"height":1,"fx":1,"fy":1,"cx":1,"cy":1}}])",
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ImageDataset dataset(dir.write("d.json", c.text));
        const auto frames = dataset.frames();
        ASSERT_EQ(frames.size(), c.frames);
        for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i]->id, i);
        if (c.frames == 2) {
            EXPECT_EQ(frames[1]->imagePath(), "c");
        }
        EXPECT_EQ(dataset.frameCount(), static_cast<int>(c.frames));
        EXPECT_FALSE(dataset.pushFrame("{}"));
        if (c.frames == 0) {
            EXPECT_FALSE(dataset.nextFrame());
        }
    }
}

TEST(ImageDatasetFile, BadFilesThrowOrStayEmpty) {
    TempDir dir;
    for (const char* text : {"\"text\"", "5", "true", R"({"a":1})"}) {
        SCOPED_TRACE(text);
        EXPECT_THROW(ImageDataset(dir.write("d.json", text)), json::type_error);
    }
    for (const char* text : {"[{", "", "[1,]"}) {
        SCOPED_TRACE(text);
        EXPECT_THROW(ImageDataset(dir.write("d.json", text)), json::parse_error);
    }
    CapturedLog log;
    const std::string missing = dir.file("missing.json");
    ImageDataset empty(missing);
    EXPECT_EQ(empty.frameCount(), 0);
    EXPECT_EQ(log.texts(fw::kError), std::vector<std::string>{"Failed to open " + missing});
}

TEST(ImageDatasetFile, DatasetPathsThatAreNoRegularFilesCannotBeOpened) {
    TempDir dir;
    const std::string folder = dir.file("folder.json");
    std::filesystem::create_directory(folder);
    const std::string fifo = dir.file("fifo.json");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {folder, std::string("/dev/zero"), fifo}) {
        SCOPED_TRACE(path);
        CapturedLog log;
        ImageDataset dataset(path);  // returns at once: nothing is waited on or read
        EXPECT_EQ(dataset.frameCount(), 0);
        EXPECT_EQ(log.texts(fw::kError), std::vector<std::string>{"Failed to open " + path});
    }
}

TEST(FitCamera, CutToTheAspectRatioThenScaled) {
    struct Case {
        std::vector<double> in;
        int w, h;
        std::vector<double> out;
    };
    const std::vector<Case> cases = {
        // wider image: the height is cut (H' = 2250, cy - 375), no scaling
        {{4000, 3000, 3000, 3000, 2000, 1500}, 4000, 2250, {4000, 2250, 3000, 3000, 2000, 1125}},
        // same aspect, half the size: every focal and centre value halves
        {{4000, 3000, 3000, 3000, 2000, 1500}, 2000, 1500, {2000, 1500, 1500, 1500, 1000, 750}},
        // narrower image: W' = 3000, cx - 500, then scaled by 0.5
        {{4000, 3000, 3000, 3000, 2000, 1500}, 1500, 1500, {1500, 1500, 1500, 1500, 750, 750}},
        // odd cut: (W - W') / 2 truncates toward zero, distortion stays
        {{101, 100, 10, 10, 50, 50, 0.1, 0.2, 0.3, 0.4, 0.5}, 100, 100, {100, 100, 10, 10, 50, 50, 0.1, 0.2, 0.3, 0.4, 0.5}},
        // nothing to fit to
        {{100, 100, 10, 10, 50, 50}, 0, 10, {100, 100, 10, 10, 50, 50}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
        const auto out = fitCameraToImage(fw::Intrinsics::fromParameters(c.in), c.w, c.h).parameters();
        ASSERT_EQ(out.size(), c.out.size());
        for (size_t i = 0; i < out.size(); ++i) EXPECT_DOUBLE_EQ(out[i], c.out[i]) << i;
    }
}
