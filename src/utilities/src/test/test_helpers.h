#pragma once
// Temporary folders, image files and a log sink that keeps what it is sent.

#include "fw/log.h"
#include "testsupport/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

namespace datasettest {

struct TempDir : testsupport::TempDir {
    TempDir() : testsupport::TempDir("dataset-test") {}
};


// A PNG of the given size with a pattern that depends on seed.
inline std::string writeImage(const TempDir& dir, const std::string& name, int width, int height, int seed = 0) {
    cv::Mat image(height, width, CV_8UC3);
    cv::RNG rng(static_cast<uint64>(seed) + 1);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    const std::string path = dir.file(name);
    cv::imwrite(path, image);
    return path;
}

inline nlohmann::json record(const std::string& uri, int width = 64, int height = 48) {
    return {{"uri", uri},
            {"calibration", {{"width", width}, {"height", height}, {"fx", 50.0}, {"fy", 50.0}, {"cx", width / 2.0}, {"cy", height / 2.0}}}};
}

// Keeps the text of every record while it is registered.
class CapturedLog : public fw::LogSink {
public:
    CapturedLog() { fw::getLogSinks()->insert(this); }
    ~CapturedLog() override { fw::getLogSinks()->erase(this); }
    void send(int severity, const char*, const char*, int, const tm*, const char* text, size_t length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back({severity, std::string(text, length)});
    }
    void flush() override {}
    // Texts of the records of that severity, without their line end.
    std::vector<std::string> texts(int severity) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (const auto& l : lines_)
            if (l.first == severity) out.push_back(l.second.substr(0, l.second.find_last_not_of('\n') + 1));
        return out;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<int, std::string>> lines_;
};

}  // namespace datasettest
