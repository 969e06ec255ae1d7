#include "image_meta/frame_record.h"

#include "fw/settings.h"
#include "image_meta/number_text.h"
#include "image_meta/store_access.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>

namespace imagemeta {

namespace {

enum class Scanned { Number, None, TooLarge };

// One "%d" of scanf: optional white space, sign and at least one digit; None
// when there is no number, TooLarge when it does not fit an int.
Scanned scanInt(const std::string& s, size_t& pos, int& out) {
    size_t p = pos;
    while (p < s.size() && std::isspace(static_cast<unsigned char>(s[p]))) ++p;
    bool negative = false;
    if (p < s.size() && (s[p] == '+' || s[p] == '-')) negative = s[p++] == '-';
    if (p >= s.size() || !std::isdigit(static_cast<unsigned char>(s[p]))) return Scanned::None;
    int64_t v = 0;
    bool overflow = false;
    for (; p < s.size() && std::isdigit(static_cast<unsigned char>(s[p])); ++p) {
        if (v > (int64_t(1) << 40)) overflow = true;
        else v = v * 10 + (s[p] - '0');
    }
    if (negative) v = -v;
    if (overflow || v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        return Scanned::TooLarge;
    out = static_cast<int>(v);
    pos = p;
    return Scanned::Number;
}

bool fitsInt(int64_t v) { return v >= std::numeric_limits<int>::min() && v <= std::numeric_limits<int>::max(); }

bool allFinite(std::initializer_list<double> values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

double steadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

void parseDewarpData(const std::string& text, std::vector<double>& values) {
    const size_t semicolon = text.find(';');
    if (semicolon == std::string::npos) return;
    size_t start = semicolon + 1;
    for (;;) {
        const size_t comma = text.find(',', start);
        const std::string piece = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        double v = 0;
        if (readNumberText(piece, v)) values.push_back(v);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
}

int64_t dateToTimestamp(std::string date) {
    std::replace(date.begin(), date.end(), '-', ':');
    // "%d:%d:%d %d:%d:%d"; reading stops at the first field that fails.
    int fields[6] = {2020, 0, 0, 0, 0, 0};
    const char separators[6] = {0, ':', ':', ' ', ':', ':'};
    size_t pos = 0;
    for (int i = 0; i < 6; ++i) {
        if (separators[i] == ':') {
            if (pos >= date.size() || date[pos] != ':') break;
            ++pos;
        } else if (separators[i] == ' ') {
            while (pos < date.size() && std::isspace(static_cast<unsigned char>(date[pos]))) ++pos;
        }
        const Scanned scanned = scanInt(date, pos, fields[i]);
        if (scanned == Scanned::TooLarge) return -1;
        if (scanned == Scanned::None) break;
    }
    const int64_t year = int64_t(fields[0]) - 1900;
    const int64_t month = int64_t(fields[1]) - 1;
    if (!fitsInt(year) || !fitsInt(month)) return -1;
    std::tm tm{};
    tm.tm_year = static_cast<int>(year);
    tm.tm_mon = static_cast<int>(month);
    tm.tm_mday = fields[2];
    tm.tm_hour = fields[3];
    tm.tm_min = fields[4];
    tm.tm_sec = fields[5];
    tm.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&tm));
}

nlohmann::json buildFrameRecord(fw::Settings& store, const std::string& uri) {
    nlohmann::json record = nlohmann::json::object();
    record["uri"] = uri;

    const std::string date = store.GetString("DateTime", "");
    if (!date.empty() && store.GetDouble("timestamp", 0.0) == 0.0) {
        record["timestamp"] = dateToTimestamp(date);
    } else {
        record["timestamp"] = steadySeconds();
    }

    const int width = store.GetInt("ImageWidth", 0);
    const int height = store.GetInt("ImageHeight", 0);
    std::vector<double> c = {double(width), double(height)};
    parseDewarpData(store.GetString("DewarpData", ""), c);
    if (c.size() >= 6) {
        c[4] += width / 2;
        c[5] += height / 2;
        const bool distortion = c.size() >= 11;
        record["calibration"] = {
            {"width", c[0]},
            {"height", c[1]},
            {"fx", c[2]},
            {"fy", c[3]},
            {"cx", c[4]},
            {"cy", c[5]},
            {"k1", distortion ? c[6] : 0.0},
            {"k2", distortion ? c[7] : 0.0},
            {"p1", distortion ? c[8] : 0.0},
            {"p2", distortion ? c[9] : 0.0},
            {"k3", distortion ? c[10] : 0.0},
        };
    }

    if (hasNumber(store, "Longitude") && hasNumber(store, "Latitude") && hasNumber(store, "Altitude")) {
        const double lon = store.GetDouble("Longitude", 0.0);
        const double lat = store.GetDouble("Latitude", 0.0);
        const double alt = store.GetDouble("Altitude", 0.0);
        const double lonSigma = store.GetDouble("LongitudeSigma", 5.0);
        const double latSigma = store.GetDouble("LatitudeSigma", 5.0);
        const double altSigma = store.GetDouble("AltitudeSigma", 10.0);
        if (allFinite({lon, lat, alt, lonSigma, latSigma, altSigma})) {
            record["gps"] = {{"longitude", lon}, {"latitude", lat}, {"altitude", alt}};
            record["rtk_std"] = {{"longitude", lonSigma}, {"latitude", latSigma}, {"altitude", altSigma}};
        }
    }

    if (hasNumber(store, "RelativeAltitude")) {
        const double relative = store.GetDouble("RelativeAltitude", 0.0);
        if (std::isfinite(relative)) record["relative_altitude"] = relative;
    }

    if (hasNumber(store, "CameraPitch") && hasNumber(store, "CameraYaw") && hasNumber(store, "CameraRoll")) {
        const double pitch = store.GetDouble("CameraPitch", 0.0);
        const double yaw = store.GetDouble("CameraYaw", 0.0);
        const double roll = store.GetDouble("CameraRoll", 0.0);
        const double pitchSigma = store.GetDouble("CameraPitchSigma", 1.0);
        const double yawSigma = store.GetDouble("CameraYawSigma", 10.0);
        const double rollSigma = store.GetDouble("CameraRollSigma", 1.0);
        if (allFinite({pitch, yaw, roll, pitchSigma, yawSigma, rollSigma})) {
            record["attitude"] = {{"pitch", pitch}, {"yaw", yaw}, {"roll", roll}};
            record["attitude_std"] = {{"pitch", pitchSigma}, {"yaw", yawSigma}, {"roll", rollSigma}};
        }
    }
    return record;
}

std::string frameLine(const nlohmann::json& record) {
    const nlohmann::json line = {{"frame", record.dump()}};
    return line.dump();
}

}  // namespace imagemeta
