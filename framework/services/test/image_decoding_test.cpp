#include "fw/image_decoding.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace fs = std::filesystem;

namespace {

std::string encoded(const cv::Mat& image, const std::string& ext) {
    std::vector<unsigned char> bytes;
    cv::imencode(ext, image, bytes);
    return std::string(bytes.begin(), bytes.end());
}

cv::Mat noise(int rows, int cols, int type) {
    cv::Mat m(rows, cols, type);
    cv::randu(m, 0, 256);
    return m;
}

// The JPEG with an APP1 segment right after its start that holds another JPEG.
std::string withThumbnail(const std::string& jpeg, const std::string& thumbnail) {
    const std::string payload = std::string("Exif\0\0", 6) + thumbnail;
    const size_t length = payload.size() + 2;
    return jpeg.substr(0, 2) + "\xFF\xE1" + char(length >> 8) + char(length & 0xFF) + payload + jpeg.substr(2);
}

// The first baseline frame header's size set to width x height.
std::string claiming(std::string jpeg, int width, int height) {
    for (size_t i = 2; i + 9 < jpeg.size(); ++i) {
        if (static_cast<unsigned char>(jpeg[i]) != 0xFF || static_cast<unsigned char>(jpeg[i + 1]) != 0xC0) continue;
        jpeg[i + 5] = char(height >> 8), jpeg[i + 6] = char(height & 0xFF);
        jpeg[i + 7] = char(width >> 8), jpeg[i + 8] = char(width & 0xFF);
        break;
    }
    return jpeg;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(ImageHeader, MainImageNotThumbnail) {
    const std::string main = encoded(noise(90, 120, CV_8UC3), ".jpg");
    const std::string thumb = encoded(noise(12, 16, CV_8UC3), ".jpg");
    const ImageHeader h = readImageHeader(withThumbnail(main, thumb));
    ASSERT_TRUE(h.known);
    EXPECT_EQ(h.width, 120);
    EXPECT_EQ(h.height, 90);
    EXPECT_EQ(h.decodedBytes(), 120 * 90 * 3);

    const ImageHeader png = readImageHeader(encoded(noise(30, 40, CV_16UC1), ".png"));
    ASSERT_TRUE(png.known);
    EXPECT_EQ(png.width, 40);
    EXPECT_EQ(png.height, 30);
    EXPECT_EQ(png.decodedBytes(), 40 * 30 * 2);
    EXPECT_FALSE(readImageHeader("not an image").known);
}

TEST(ImageHeader, RealDjiPhotograph) {
    const fs::path path = fs::path(ZEL_SHARED_DATA_DIR) / "brighton-beach" / "DJI_0018.JPG";
    if (!fs::exists(path)) GTEST_SKIP() << "no flight at " << path.parent_path();
    const std::string bytes = readFile(path);
    const ImageHeader h = readImageHeader(bytes);
    ASSERT_TRUE(h.known);
    EXPECT_EQ(h.width, 4000);  // not the 160 x 120 thumbnail
    EXPECT_EQ(h.height, 2250);
    std::string why;
    const cv::Mat image = decodeImage(bytes, why);  // the trailing preview does not matter
    EXPECT_EQ(image.cols, 4000) << why;
    EXPECT_EQ(image.rows, 2250);
    EXPECT_TRUE(decodeImage(bytes.substr(0, bytes.size() * 55 / 100), why).empty());
    EXPECT_EQ(why, "the image data ends before its last scan");
}

TEST(ImageDecoding, AsOpenCvDecodes) {
    for (int type : {CV_8UC3, CV_8UC1}) {
        const std::string jpeg = encoded(noise(48, 64, type), ".jpg");
        std::string why;
        const cv::Mat ours = decodeImage(jpeg, why);
        const cv::Mat theirs = cv::imdecode(std::vector<unsigned char>(jpeg.begin(), jpeg.end()), cv::IMREAD_UNCHANGED);
        ASSERT_EQ(ours.type(), theirs.type()) << why;
        ASSERT_EQ(ours.size(), theirs.size());
        EXPECT_EQ(cv::norm(ours, theirs, cv::NORM_INF), 0.0);
    }
    const std::string png = encoded(noise(20, 30, CV_8UC4), ".png");
    std::string why;
    EXPECT_EQ(decodeImage(png, why).type(), CV_8UC4);
}

TEST(ImageDecoding, Refusals) {
    const std::string jpeg = encoded(noise(240, 320, CV_8UC3), ".jpg");
    struct Case {
        const char* name;
        std::string bytes;
        std::string why;  // "" when decoded
    };
    const std::vector<Case> cases = {
        {"cut at 55 %", jpeg.substr(0, jpeg.size() * 55 / 100), "the image data ends before its last scan"},
        {"followed by other bytes", jpeg + std::string(5000, 'x') + jpeg, ""},
        {"a header claiming 30000 x 30000", claiming(jpeg, 30000, 30000),
         "30000 x 30000 pixels, above the cap of 120000000 pixels"},
        // At the cap the header passes; the data then end before the scan does.
        {"a header claiming 12000 x 10000 (at the cap)", claiming(jpeg, 12000, 10000),
         "the image data ends before its last scan"},
        {"a PNG header claiming 20000 x 20000",
         [] {
             std::string png = encoded(noise(8, 8, CV_8UC3), ".png");
             for (size_t at : {16, 20}) png[at] = 0, png[at + 1] = 0, png[at + 2] = char(0x4E), png[at + 3] = char(0x20);
             return png;
         }(),
         "20000 x 20000 pixels, above the cap of 120000000 pixels"},
        {"no image", "plain text", "-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string why;
        const cv::Mat image = decodeImage(c.bytes, why);
        if (c.why.empty()) {
            EXPECT_FALSE(image.empty()) << why;
        } else if (c.why == "-") {
            EXPECT_TRUE(image.empty());  // no reason beyond "Failed to decode"
            EXPECT_EQ(why, "");
        } else {
            EXPECT_TRUE(image.empty());
            EXPECT_EQ(why, c.why);
        }
    }
}
