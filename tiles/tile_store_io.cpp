#include "tile_store_io.h"

#include "tiles/png_codec.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace tilestore {

#ifdef ZEL_TEST_HOOKS
namespace {

// Test builds only: with ZEL_TEST_TILE_FILES_ENOSPC_FROM=N in the environment,
// the Nth file that writeFileReplacing writes in the process and every later
// one fail with ENOSPC, as on a disk that has filled up.
bool diskFullForTest() {
    static const long from = [] {
        const char* text = std::getenv("ZEL_TEST_TILE_FILES_ENOSPC_FROM");
        return text ? std::strtol(text, nullptr, 10) : 0L;
    }();
    static std::atomic<long> files{0};
    return from > 0 && files.fetch_add(1) + 1 >= from;
}

}  // namespace
#endif

bool serializeTile(const fw::ImageTile& tile, std::vector<uint8_t>& out) {
    out.clear();
    if (const auto* multi = dynamic_cast<const TerrainFusionMultiTile*>(&tile)) {
        const int64_t size = multi->serialSize();
        if (size > 0) out.reserve(size_t(size));
    }
    ByteSink sink(out);
    std::ostream stream(&sink);
    return tile.serialize(stream) && stream.good();
}

std::string keyText(int x, int y, int z) {
    std::ostringstream s;
    s << x << "," << y << "," << z;
    return s.str();
}

bool readFile(const std::string& path, std::vector<uint8_t>& bytes) {
    bytes.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0) return false;
    in.seekg(0, std::ios::beg);
    bytes.resize(size_t(size));
    if (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), size)) {
        bytes.clear();
        return false;
    }
    return true;
}

bool writeFileReplacing(const std::string& path, const void* data, size_t size, std::string& error) {
    const fs::path target(path);
    std::error_code ec;
    if (target.has_parent_path() && !fs::is_directory(target.parent_path(), ec)) {
        fs::create_directories(target.parent_path(), ec);
        if (ec) {
            error = "can't create folder " + target.parent_path().string() + ": " + ec.message();
            return false;
        }
    }
    const std::string temp = path + ".part";
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) {
        error = "can't open " + temp + " for write: " + std::strerror(errno);
        return false;
    }
    bool written = size == 0 || std::fwrite(data, 1, size, f) == size;
    int writeErrno = errno;
#ifdef ZEL_TEST_HOOKS
    if (diskFullForTest()) {
        written = false;
        writeErrno = ENOSPC;
    }
#endif
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        error = "can't write " + temp + ": " + std::strerror(written ? errno : writeErrno);
        std::remove(temp.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        error = "can't rename " + temp + " to " + path + ": " + std::strerror(errno);
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

namespace {

// 8-bit 0/255 mask of weight > 0 at the given size; zeros for an empty weight.
bool weightMask(const fw::GImage& weight, cv::Size size, int interpolation, cv::Mat& mask, std::string& error) {
    const cv::Mat w = weight;
    if (w.empty()) {
        mask = cv::Mat::zeros(size, CV_8UC1);
        return true;
    }
    if (w.channels() != 1) {
        error = "the weight has " + std::to_string(w.channels()) + " channels";
        return false;
    }
    cv::Mat sized = w;
    if (w.size() != size) cv::resize(w, sized, size, 0, 0, interpolation);
    mask = sized > 0;
    return true;
}

}  // namespace

bool composeDomRgba(const TerrainFusionMultiTile& tile, std::vector<uint8_t>& rgba, std::string& error) {
    const cv::Mat image = tile.image;
    if (image.type() != CV_8UC3) {
        error = "the image is not 8-bit with three channels";
        return false;
    }
    cv::Mat alpha;
    if (!weightMask(tile.weight, image.size(), cv::INTER_NEAREST, alpha, error)) return false;
    cv::Mat rgb;
    cv::cvtColor(image, rgb, cv::COLOR_BGR2RGB);
    std::vector<cv::Mat> planes;
    cv::split(rgb, planes);
    planes.push_back(alpha);
    rgba.resize(size_t(image.cols) * size_t(image.rows) * 4);
    cv::Mat out(image.rows, image.cols, CV_8UC4, rgba.data());
    cv::merge(planes, out);
    if (out.data != rgba.data()) {
        error = "merge did not fill the buffer";
        return false;
    }
    return true;
}

bool composeDsm(const TerrainFusionMultiTile& tile, fw::GImage& dsm, std::string& error) {
    const cv::Mat elevation = tile.elevation;
    if (elevation.empty() || elevation.channels() != 1) {
        error = "the elevation is empty or not single-channel";
        return false;
    }
    cv::Mat copy = elevation.clone();
    cv::Mat mask;
    if (!weightMask(tile.weight, copy.size(), cv::INTER_LINEAR, mask, error)) return false;
    copy.setTo(cv::Scalar(kNoElevation), mask == 0);
    dsm = fw::GImage(copy);
    return true;
}

bool encodeDsmTiff(const fw::GImage& dsm, std::vector<uint8_t>& bytes, std::string& error) {
    const cv::Mat m = dsm;
    if (!cv::imencode(".tiff", m, bytes, {cv::IMWRITE_TIFF_COMPRESSION, 0}) || bytes.empty()) {
        error = "the TIFF encoder refused the raster";
        return false;
    }
    return true;
}

bool decodeDomPng(const std::vector<uint8_t>& png, fw::GImage& bgr, std::string& error) {
    std::vector<uint8_t> pixels;
    uint32_t width = 0, height = 0, channels = 0;
    const PngCodecDecodeResult result =
        PngCodec::decodeImage(png.data(), uint32_t(png.size()), pixels, width, height, channels, 3);
    if (result != PngCodecDecodeResult::Success) {
        error = "the PNG does not decode (result " + std::to_string(int(result)) + ")";
        return false;
    }
    const cv::Mat rgb(int(height), int(width), CV_8UC3, pixels.data());
    cv::Mat out;
    cv::cvtColor(rgb, out, cv::COLOR_RGB2BGR);
    bgr = fw::GImage(out);
    return true;
}

bool decodeDsmTiff(const std::vector<uint8_t>& tiff, fw::GImage& dsm, std::string& error) {
    const cv::Mat decoded = cv::imdecode(tiff, cv::IMREAD_UNCHANGED);
    if (decoded.empty()) {
        error = "the TIFF does not decode";
        return false;
    }
    dsm = fw::GImage(decoded);
    return true;
}

std::vector<int64_t> sumMilliseconds(const std::list<std::vector<int64_t>>& samples, size_t fields) {
    std::vector<int64_t> micros(fields, 0);
    for (const auto& sample : samples) {
        for (size_t i = 0; i < fields && i < sample.size(); ++i) micros[i] += sample[i] / 1000;
    }
    for (int64_t& m : micros) m /= 1000;
    return micros;
}

}  // namespace tilestore
