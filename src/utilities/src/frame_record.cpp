#include "dataset/frame_record.h"

#include "dataset/image_dataset.h"
#include "fw/log.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <iterator>
#include <mutex>
#include <sstream>

namespace {

using nlohmann::json;

// Altitudes (metres) a record's position may have.
constexpr double kLowestAltitude = -1000.0, kHighestAltitude = 20000.0;
// The deviation of a position that is absent: frames count one of 10 m or more as none.
constexpr double kAbsentSigma = 1.0e9;
// The largest image side and focal length or principal point (pixels) a calibration may state.
constexpr double kLargestSide = 1.0e6, kLargestFocal = 1.0e7;

// The numbers of an object when it has every key as a number.
bool readNumbers(const json& record, const char* key, std::initializer_list<const char*> names, std::vector<double>& out) {
    auto object = record.find(key);
    if (object == record.end() || !object->is_object()) return false;
    std::vector<double> values;
    for (const char* name : names) {
        auto value = object->find(name);
        if (value == object->end() || !value->is_number()) return false;
        values.push_back(value->get<double>());
    }
    out.insert(out.end(), values.begin(), values.end());
    return true;
}

// Why a calibration's values cannot make a camera, naming the key; empty
// when they can. camera holds width, height, fx, fy, cx, cy, k1, k2, p1, p2, k3.
std::string badCalibrationValue(const std::vector<double>& camera) {
    static const char* const names[] = {"width", "height", "fx", "fy", "cx", "cy", "k1", "k2", "p1", "p2", "k3"};
    for (size_t i = 0; i < camera.size() && i < std::size(names); ++i) {
        const double v = camera[i];
        std::ostringstream shown;
        shown << v;
        if (!std::isfinite(v)) return std::string(names[i]) + " is not a finite number (" + shown.str() + ")";
        // The size and focal lengths are positive; above these bounds they
        // overflow the pixel arithmetic that follows.
        const double highest = i < 2 ? kLargestSide : kLargestFocal;
        if (i < 4 && !(v > 0.0 && v <= highest))
            return std::string(names[i]) + " is not a positive number of at most " + std::to_string(int64_t(highest)) +
                   " (" + shown.str() + ")";
        if ((i == 4 || i == 5) && !(std::abs(v) <= kLargestFocal))
            return std::string(names[i]) + " is not a number of at most " + std::to_string(int64_t(kLargestFocal)) +
                   " in size (" + shown.str() + ")";
    }
    return {};
}

// Follows a record's text up to the number that overflows a double: the key
// it stands under and the key of the object around it.
class OverflowKey : public nlohmann::json_sax<json> {
public:
    std::string name, parent, token;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override {
        keys_.push_back(name);
        return true;
    }
    bool key(string_t& text) override {
        name = text;
        return true;
    }
    bool end_object() override {
        name = keys_.empty() ? std::string() : keys_.back();
        if (!keys_.empty()) keys_.pop_back();
        return true;
    }
    bool start_array(std::size_t) override {
        keys_.push_back(name);
        return true;
    }
    bool end_array() override { return end_object(); }
    bool parse_error(std::size_t, const std::string& last, const nlohmann::detail::exception&) override {
        token = last;
        parent = keys_.empty() ? std::string() : keys_.back();
        return false;
    }

private:
    std::vector<std::string> keys_;
};

}  // namespace

bool parseFrameRecordText(const std::string& text, json& record, std::string& refusal) {
    try {
        record = json::parse(text);
        return true;
    } catch (const json::out_of_range& e) {
        if (e.id != 406) throw;
        // A number too large for a double: in the calibration it is a value
        // that is not finite.
        OverflowKey where;
        json::sax_parse(text, &where);
        if (where.parent != "calibration") throw;
        refusal = "Failed to load camera calibration: " + where.name + " is not a finite number (" + where.token + ")";
        FW_LOG(Error) << refusal;
        return false;
    }
}

std::vector<double> frameRecordGps(const json& record) {
    std::vector<double> gps;
    if (!record.is_object() || !readNumbers(record, "gps", {"longitude", "latitude", "altitude"}, gps)) return gps;
    if (!readNumbers(record, "rtk_std", {"longitude", "latitude", "altitude"}, gps)) gps.insert(gps.end(), {5.0, 10.0, 5.0});
    // A position off the earth is no position: its deviations say so (the
    // frame then has none), its attitude and relative altitude stay.
    if (!(std::abs(gps[1]) <= 90.0 && std::abs(gps[0]) <= 180.0 && gps[2] >= kLowestAltitude && gps[2] <= kHighestAltitude)) {
        auto uri = record.find("uri");
        FW_LOG(Warning) << "Frame " << (uri != record.end() && uri->is_string() ? uri->get<std::string>() : std::string("?"))
                        << ": its GPS position (longitude " << gps[0] << ", latitude " << gps[1] << ", altitude " << gps[2]
                        << ") is out of range; it is treated as absent.";
        std::fill(gps.begin(), gps.begin() + 3, 0.0);
        std::fill(gps.begin() + 3, gps.begin() + 6, kAbsentSigma);
    }
    auto relative = record.find("relative_altitude");
    if (relative != record.end() && relative->is_number())
        gps.insert(gps.end(), {relative->get<double>(), 10.0});
    else
        gps.insert(gps.end(), {200.0, 20.0});
    if (readNumbers(record, "attitude", {"pitch", "yaw", "roll"}, gps)) {
        if (!readNumbers(record, "attitude_std", {"pitch", "yaw", "roll"}, gps)) gps.insert(gps.end(), {5.0, 5.0, 5.0});
    }
    return gps;
}

std::shared_ptr<TarnMapperFrame> parseFrameRecord(ImageDataset& dataset, const json& record) {
    std::string refusal;
    return parseFrameRecord(dataset, record, refusal);
}

std::shared_ptr<TarnMapperFrame> parseFrameRecord(ImageDataset& dataset, const json& record, std::string& refusal) {
    auto refuse = [&refusal](const char* why) {
        refusal = why;
        return nullptr;
    };
    if (!record.is_object() || !record.contains("uri") || !record["uri"].is_string()) {
        FW_LOG(Error) << "Failed to load frame: ";
        return refuse("Failed to load frame");
    }
    double timestamp = -1.0;
    auto stamp = record.find("timestamp");
    if (stamp != record.end() && stamp->is_number()) timestamp = stamp->get<double>();
    std::vector<double> gps = frameRecordGps(record);

    std::vector<double> camera;
    auto calibration = record.find("calibration");
    if (calibration != record.end() && calibration->is_object()) {
        if (!readNumbers(record, "calibration", {"width", "height", "fx", "fy", "cx", "cy"}, camera))
            return refuse("Failed to load camera calibration");
        if (!readNumbers(record, "calibration", {"k1", "k2", "p1", "p2", "k3"}, camera))
            camera.insert(camera.end(), {0.0, 0.0, 0.0, 0.0, 0.0});
    }
    if (camera.size() < 6) {
        FW_LOG(Error) << "Failed to load camera calibration: ";
        return refuse("Failed to load camera calibration");
    }
    const std::string bad = badCalibrationValue(camera);
    if (!bad.empty()) {
        FW_LOG(Error) << "Failed to load camera calibration: " << bad;
        refusal = "Failed to load camera calibration: " + bad;
        return nullptr;
    }

    std::lock_guard<std::mutex> lock(dataset.mutex_);
    const uint64_t id = dataset.frames_.size();
    if (timestamp < 0.0) timestamp = static_cast<double>(id) + 1701532800.0;
    auto frame = std::make_shared<TarnMapperFrame>(id, record["uri"].get<std::string>(), timestamp, std::move(gps),
                                                   std::move(camera));
    dataset.frames_.push_back(frame);
    return frame;
}
