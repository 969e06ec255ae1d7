// The maker normalisers: drone makers' XMP (and a few EXIF) tags to the
// common keys that the frame record reads.
#include "image_meta/exif.h"

#include "fw/settings.h"
#include "image_meta/number_text.h"
#include "image_meta/store_access.h"

#include <cctype>
#include <cmath>
#include <initializer_list>
#include <iomanip>
#include <limits>
#include <sstream>
#include <string>

using imagemeta::hasText;
using imagemeta::storeDouble;
using imagemeta::storeString;

namespace {

const char kAutelAbout[] = "Autel Robotics Meta Data";

bool isXaircraft(const std::string& make) { return make == "Xaircraft" || make == "XAG"; }

// A roll near +-180 is turned over to near 0 or 360.
double foldRoll(double roll) { return std::fabs(180.0 - std::fabs(roll)) < 10.0 ? roll + 180.0 : roll; }

// An angle's text is read only within a turn either way, in degrees.
bool withinTurn(double degrees) { return std::fabs(degrees) <= 360.0; }

// Copies of present source keys into the common double keys.
class Copier {
public:
    explicit Copier(fw::Settings& store) : store_(store) {}

    // The source's number, shifted (and folded). A source that holds no
    // finite number sets the target to NaN, so that its group is left out
    // rather than taken from an earlier source or read as 0.
    void number(const char* target, const char* source, double shift = 0.0, bool fold = false) {
        copyNumber(target, source, shift, fold, false);
    }

    // An angle as number() reads it; a source beyond +-360 degrees (before
    // the shift) sets the target to NaN as well.
    void angle(const char* target, const char* source, double shift = 0.0, bool fold = false) {
        copyNumber(target, source, shift, fold, true);
    }

    // A value with a default of its own (a sigma): unset when unreadable.
    void optionalNumber(const char* target, const char* source) {
        if (!hasText(store_, source)) return;
        double v = 0;
        if (imagemeta::readNumberText(store_.GetString(source, ""), v)) storeDouble(store_, target, v);
    }

    // The source read as a fraction ("a/b" or a plain number); an unreadable
    // or non-finite value leaves the target unset.
    void fraction(const char* target, const char* source, double shift = 0.0) {
        copyFraction(target, source, shift, false);
    }

    // An angle as fraction() reads it; beyond +-360 degrees it leaves the target unset.
    void angleFraction(const char* target, const char* source, double shift = 0.0) {
        copyFraction(target, source, shift, true);
    }

    void text(const char* target, const char* source) {
        if (!hasText(store_, source)) return;
        storeString(store_, target, store_.GetString(source, ""));
    }

private:
    void copyNumber(const char* target, const char* source, double shift, bool fold, bool angle) {
        if (!hasText(store_, source)) return;
        double v = 0;
        if (!imagemeta::readNumberText(store_.GetString(source, ""), v) || (angle && !withinTurn(v))) {
            storeDouble(store_, target, std::numeric_limits<double>::quiet_NaN());
            return;
        }
        v += shift;
        if (fold) v = foldRoll(v);
        storeDouble(store_, target, v);
    }

    void copyFraction(const char* target, const char* source, double shift, bool angle) {
        if (!hasText(store_, source)) return;
        double v = 0;
        if (!imagemeta::readFraction(store_.GetString(source, ""), v) || (angle && !withinTurn(v))) return;
        storeDouble(store_, target, v + shift);
    }

    fw::Settings& store_;
};

}  // namespace

void EXIF::deriveCameraName(fw::Settings& store) {
    const std::string model = store.GetString("Model", "");
    const double focal = store.GetDouble("FocalLength", 0.0);
    std::ostringstream focalText;
    focalText << std::fixed << std::setprecision(1) << focal;
    std::string name = model + "_" + focalText.str() + "_" + std::to_string(store.GetInt("ImageWidth", 0)) + "x" +
                       std::to_string(store.GetInt("ImageHeight", 0));
    for (char& c : name) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (c == ' ') c = '_';
    }
    storeString(store, "CameraName", name);
    storeString(store, "LensModel", store.GetString("LensInfo.Model", ""));
    storeString(store, "CameraModel", model);
    storeDouble(store, "focalLength", focal);
}

void EXIF::normalizeGps(fw::Settings& store) {
    Copier copy(store);
    const std::string make = store.GetString("Make", "");
    if (hasText(store, "drone-dji:Latitude")) {
        copy.number("Latitude", "drone-dji:Latitude");
        for (const char* source : {"drone-dji:Longitude", "drone-dji:GpsLongtitude", "drone-dji:GpsLongitude"}) {
            if (hasText(store, source)) {
                copy.number("Longitude", source);
                break;
            }
        }
        copy.number("Altitude", "drone-dji:AbsoluteAltitude");
    } else if (isXaircraft(make) || make == "Parrot") {
        copy.number("Latitude", "Camera:Latitude");
        copy.number("Longitude", "Camera:Longitude");
        copy.number("Altitude", "Camera:AbsoluteAltitude");
    }
}

void EXIF::normalizeAttitude(fw::Settings& store) {
    Copier copy(store);
    const std::string make = store.GetString("Make", "");
    if (hasText(store, "drone-dji:GimbalPitchDegree")) {
        copy.angle("CameraPitch", "drone-dji:GimbalPitchDegree");
        copy.angle("CameraYaw", "drone-dji:GimbalYawDegree");
        copy.angle("CameraRoll", "drone-dji:GimbalRollDegree", 0.0, true);
        copy.number("RelativeAltitude", "drone-dji:RelativeAltitude");
    } else if (hasText(store, "drone-dji:FlightPitchDegree")) {
        copy.angle("CameraPitch", "drone-dji:FlightPitchDegree", -90.0);
        copy.angle("CameraYaw", "drone-dji:FlightYawDegree");
        copy.angle("CameraRoll", "drone-dji:FlightRollDegree", 0.0, true);
        copy.number("RelativeAltitude", "drone-dji:RelativeAltitude");
    } else if (isXaircraft(make) || make == "Parrot") {
        copy.angleFraction("CameraPitch", "Camera:Pitch", -90.0);
        copy.angleFraction("CameraYaw", "Camera:Yaw", make == "Parrot" ? 90.0 : 0.0);
        copy.angleFraction("CameraRoll", "Camera:Roll");
        copy.fraction("LatitudeSigma", "Camera:GPSXYAccuracy");
        copy.fraction("LongitudeSigma", "Camera:GPSXYAccuracy");
        copy.fraction("AltitudeSigma", "Camera:GPSZAccuracy");
    } else if (store.GetString("rdf:about", "") == kAutelAbout) {
        copy.angle("CameraPitch", "Camera:Pitch", -90.0);
        copy.angle("CameraYaw", "Camera:Yaw");
        copy.angle("CameraRoll", "Camera:Roll", 0.0, true);
        copy.number("RelativeAltitude", "Camera:AboveGroundAltitude");
    }
}

void EXIF::normalizeRtkSigma(fw::Settings& store) {
    Copier copy(store);
    const std::string make = store.GetString("Make", "");
    if (hasText(store, "drone-dji:RtkStdLon")) {
        copy.optionalNumber("LongitudeSigma", "drone-dji:RtkStdLon");
        copy.optionalNumber("LatitudeSigma", "drone-dji:RtkStdLat");
        copy.optionalNumber("AltitudeSigma", "drone-dji:RtkStdHgt");
    } else if (isXaircraft(make) || make == "Parrot") {
        // set with the attitude
    } else if (store.GetString("rdf:about", "") == kAutelAbout) {
        copy.optionalNumber("LongitudeSigma", "Camera:GPSXYAccuracy");
        copy.optionalNumber("LatitudeSigma", "Camera:GPSXYAccuracy");
        copy.optionalNumber("AltitudeSigma", "Camera:GPSZAccuracy");
    }
}

void EXIF::normalizeDewarpData(fw::Settings& store) {
    Copier copy(store);
    const std::string make = store.GetString("Make", "");
    if (make == "DJI" || make == "Hasselblad" || make == "NorraUAV" ||
        store.GetString("rdf:about", "") == "DJI Meta Data") {
        copy.text("DewarpData", "drone-dji:DewarpData");
    } else if (isXaircraft(make)) {
        copy.optionalNumber("cx", "Camera:CalibratedOpticalCenterX");
        copy.optionalNumber("cy", "Camera:CalibratedOpticalCenterY");
        copy.text("DewarpData", "Camera:DewarpData");
    } else if (make == "Parrot") {
        copy.text("DewarpData", "Camera:DewarpData");
    }
}
