#include "image_meta/exif.h"

#include "fw/settings.h"
#include "image_meta/store_access.h"

#include <tinyxml2.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <string>

using imagemeta::hasNumber;
using imagemeta::storeDouble;
using imagemeta::storeInt;
using imagemeta::storeString;

namespace {

constexpr size_t kTiffStart = 6;  // the TIFF header follows "Exif\0\0"
const char kXmpId[] = "http://ns.adobe.com/xap/1.0/";
constexpr size_t kXmpHeaderLength = sizeof(kXmpId);  // the identifier and its NUL

enum TiffType { kByte = 1, kAscii = 2, kShort = 3, kLong = 4, kRational = 5, kSByte = 6, kSRational = 10 };

// One APP1 payload seen as TIFF data; every read is checked against its length.
struct TiffData {
    const uint8_t* data;
    uint64_t length;
    bool littleEndian;

    bool fits(uint64_t pos, uint64_t size) const { return pos <= length && size <= length - pos; }

    uint16_t u16(uint64_t pos) const {
        const uint8_t* p = data + pos;
        return littleEndian ? uint16_t(p[0] | (p[1] << 8)) : uint16_t((p[0] << 8) | p[1]);
    }
    uint32_t u32(uint64_t pos) const {
        const uint8_t* p = data + pos;
        if (littleEndian) {
            return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
        }
        return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
    }
};

// One 12-byte IFD entry.
struct Entry {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint32_t count = 0;
    uint64_t fieldPos = 0;  // position of the 4-byte value field in the payload
};

// The value fetchers of one entry; each gives nothing when the entry has
// another type or its value does not lie inside the TIFF data.
class EntryReader {
public:
    EntryReader(const TiffData& tiff, const Entry& entry) : tiff_(tiff), e_(entry) {}

    std::optional<int> byteValue() const {
        if (e_.type != kByte && e_.type != kAscii && e_.type != kSByte) return std::nullopt;
        return int(tiff_.data[e_.fieldPos]);
    }
    std::optional<int> short16() const {
        if (e_.type != kShort) return std::nullopt;
        return int(tiff_.u16(e_.fieldPos));
    }
    std::optional<int> long32() const {
        if (e_.type != kLong) return std::nullopt;
        return static_cast<int>(tiff_.u32(e_.fieldPos));
    }
    std::optional<int> long32OrShort() const {
        if (auto v = long32()) return v;
        return short16();
    }
    // The index-th rational of the array at the offset; zeroDenominator (0
    // unless the caller needs to tell "no number" apart) for a zero denominator.
    std::optional<double> rational(uint32_t index = 0, double zeroDenominator = 0.0) const {
        if (e_.type != kRational && e_.type != kSRational) return std::nullopt;
        if (index >= e_.count) return std::nullopt;
        const uint64_t pos = offset() + 8ull * index;
        if (!tiff_.fits(pos, 8)) return std::nullopt;
        const uint32_t num = tiff_.u32(pos);
        const uint32_t den = tiff_.u32(pos + 4);
        if (den == 0) return zeroDenominator;
        if (e_.type == kSRational) return double(static_cast<int32_t>(num)) / double(static_cast<int32_t>(den));
        return double(num) / double(den);
    }
    std::optional<std::string> text() const {
        if (e_.type != kAscii) return std::nullopt;
        if (e_.count <= 4) {
            std::string s(reinterpret_cast<const char*>(tiff_.data + e_.fieldPos), e_.count);
            if (!s.empty() && s.back() == '\0') s.pop_back();
            return s;
        }
        const uint64_t pos = offset();
        if (!tiff_.fits(pos, e_.count)) return std::nullopt;
        // The last byte of the count is the terminator.
        std::string s(reinterpret_cast<const char*>(tiff_.data + pos), e_.count - 1);
        while (!s.empty() && s.back() == '\0') s.pop_back();
        return s;
    }
    // The value field as a position in the payload (sub-IFD pointers).
    uint64_t offset() const { return uint64_t(tiff_.u32(e_.fieldPos)) + kTiffStart; }

private:
    const TiffData& tiff_;
    const Entry& e_;
};

enum class Ifd { Zero, Exif, Gps };

struct IfdPointers {
    bool exifSeen = false;
    uint64_t exif = 0;
    bool gpsSeen = false;
    uint64_t gps = 0;
};

void readTextTag(fw::Settings& store, const char* key, const EntryReader& r) {
    if (auto v = r.text()) storeString(store, key, *v);
}
void readRationalTag(fw::Settings& store, const char* key, const EntryReader& r, uint32_t index = 0) {
    if (auto v = r.rational(index)) storeDouble(store, key, *v);
}
// A part of the position: a zero denominator (0/0 or x/0) is no number, kept
// as NaN so that the position is left out of the record instead of reading 0.
void readPositionTag(fw::Settings& store, const char* key, const EntryReader& r, uint32_t index = 0) {
    if (auto v = r.rational(index, std::numeric_limits<double>::quiet_NaN())) storeDouble(store, key, *v);
}
void readShortTag(fw::Settings& store, const char* key, const EntryReader& r) {
    if (auto v = r.short16()) storeInt(store, key, *v);
}
void readIntTag(fw::Settings& store, const char* key, std::optional<int> v) {
    if (v) storeInt(store, key, *v);
}

// Tags read in both IFD0 and the Exif sub-IFD.
bool readCommonTag(const Entry& e, const EntryReader& r, fw::Settings& store) {
    switch (e.tag) {
    case 0xA405: {
        double v = 0.0;
        if (auto rational = r.rational()) {
            v = *rational;
        } else if (auto s = r.short16()) {
            v = *s;
        }
        storeDouble(store, "FocalLengthIn35mm", v);
        return true;
    }
    case 0xA434:
        readTextTag(store, "LensInfo.Model", r);
        return true;
    default:
        return false;
    }
}

void readIfd0Tag(const Entry& e, const EntryReader& r, fw::Settings& store, IfdPointers& ptrs) {
    if (readCommonTag(e, r, store)) return;
    switch (e.tag) {
    case 0x0102: readShortTag(store, "BitsPerSample", r); break;
    case 0x010E: readTextTag(store, "ImageDescription", r); break;
    case 0x010F: readTextTag(store, "Make", r); break;
    case 0x0110: readTextTag(store, "Model", r); break;
    case 0x0112: readShortTag(store, "Orientation", r); break;
    case 0x011A: readRationalTag(store, "XResolution", r); break;
    case 0x011B: readRationalTag(store, "YResolution", r); break;
    case 0x0128: readShortTag(store, "ResolutionUnit", r); break;
    case 0x0131: readTextTag(store, "Software", r); break;
    case 0x0132: readTextTag(store, "DateTime", r); break;
    case 0x8298: readTextTag(store, "Copyright", r); break;
    case 0x1001: readIntTag(store, "RelatedImageWidth", r.long32OrShort()); break;
    case 0x1002: readIntTag(store, "RelatedImageHeight", r.long32OrShort()); break;
    case 0x8769:
        ptrs.exifSeen = true;
        ptrs.exif = r.offset();
        break;
    case 0x8825:
        ptrs.gpsSeen = true;
        ptrs.gps = r.offset();
        break;
    default: break;
    }
}

void readExifTag(const Entry& e, const EntryReader& r, fw::Settings& store) {
    if (readCommonTag(e, r, store)) return;
    switch (e.tag) {
    case 0x829A: readRationalTag(store, "ExposureTime", r); break;
    case 0x829D: readRationalTag(store, "FNumber", r); break;
    case 0x8827: readShortTag(store, "ISOSpeedRatings", r); break;
    case 0x9003: readTextTag(store, "DateTimeOriginal", r); break;
    case 0x9004: readTextTag(store, "DateTimeDigitized", r); break;
    case 0x9201: readRationalTag(store, "ShutterSpeedValue", r); break;
    case 0x9202: readRationalTag(store, "ApertureValue", r); break;
    case 0x9203: readRationalTag(store, "BrightnessValue", r); break;
    case 0x9204: readRationalTag(store, "ExposureBiasValue", r); break;
    case 0x9206: readRationalTag(store, "SubjectDistance", r); break;
    case 0x9207: readShortTag(store, "MeteringMode", r); break;
    case 0x9209: readShortTag(store, "Flash", r); break;
    case 0x920A:
        if (auto v = r.rational()) {
            storeDouble(store, "FocalLength", *v);
        } else {
            readTextTag(store, "FocalLength", r);
        }
        break;
    case 0x9291: readTextTag(store, "SubSecTimeOriginal", r); break;
    case 0xA002:
    case 0xA003:
        storeInt(store, e.tag == 0xA002 ? "ImageWidth" : "ImageHeight", r.long32OrShort().value_or(0));
        break;
    case 0xA20E: readRationalTag(store, "FocalPlaneXResolution", r); break;
    case 0xA20F: readRationalTag(store, "FocalPlaneYResolution", r); break;
    case 0xA210: readShortTag(store, "FocalPlaneResolutionUnit", r); break;
    case 0xA432: {
        static const char* const keys[] = {"FocalLengthMin", "FocalLengthMax", "FStopMin", "FStopMax"};
        for (uint32_t i = 0; i < 4; ++i) readRationalTag(store, keys[i], r, i);
        break;
    }
    case 0xA433: readTextTag(store, "LensInfo.Make", r); break;
    default: break;
    }
}

void readDmsTag(fw::Settings& store, const std::string& prefix, const EntryReader& r) {
    static const char* const parts[] = {".degrees", ".minutes", ".seconds"};
    for (uint32_t i = 0; i < 3; ++i) readPositionTag(store, (prefix + parts[i]).c_str(), r, i);
}

void readGpsTag(const Entry& e, const EntryReader& r, fw::Settings& store) {
    switch (e.tag) {
    case 0x0001: readIntTag(store, "LatComponents.direction", r.byteValue()); break;
    case 0x0002: readDmsTag(store, "LatComponents", r); break;
    case 0x0003: readIntTag(store, "LonComponents.direction", r.byteValue()); break;
    case 0x0004: readDmsTag(store, "LonComponents", r); break;
    case 0x0005: readIntTag(store, "AltitudeRef", r.byteValue()); break;
    case 0x0006: readPositionTag(store, "Altitude", r); break;
    case 0x0007: {
        const auto h = r.rational(0), m = r.rational(1), s = r.rational(2);
        if (h && m && s) {
            char buf[128];
            std::snprintf(buf, sizeof buf, "%g %g %g", *h, *m, *s);
            storeString(store, "GPSTimeStamp", buf);
        }
        break;
    }
    case 0x000B: readRationalTag(store, "GPSDOP", r); break;
    case 0x0010: readTextTag(store, "GPSImgDirectionRef", r); break;
    case 0x0012: readTextTag(store, "GPSMapDatum", r); break;
    case 0x001D: readTextTag(store, "GPSDateStamp", r); break;
    case 0x001E: readShortTag(store, "GPSDifferential", r); break;
    default: break;
    }
}

// Reads the IFD at pos; false when its count and entries do not fit.
bool readIfd(const TiffData& tiff, uint64_t pos, Ifd kind, fw::Settings& store, IfdPointers& ptrs) {
    if (!tiff.fits(pos, 2)) return false;
    const uint64_t count = tiff.u16(pos);
    if (!tiff.fits(pos, 2 + 12 * count + 4)) return false;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t at = pos + 2 + 12 * i;
        Entry e;
        e.tag = tiff.u16(at);
        e.type = tiff.u16(at + 2);
        e.count = tiff.u32(at + 4);
        e.fieldPos = at + 8;
        const EntryReader r(tiff, e);
        switch (kind) {
        case Ifd::Zero: readIfd0Tag(e, r, store, ptrs); break;
        case Ifd::Exif: readExifTag(e, r, store); break;
        case Ifd::Gps: readGpsTag(e, r, store); break;
        }
    }
    return true;
}

}  // namespace

int EXIF::parseBuffer(const uint8_t* data, size_t length, fw::Settings& store) {
    const int result = scanMarkers(data, length, store);
    if (result != kOk) return result;
    deriveCameraName(store);
    normalizeGps(store);
    normalizeAttitude(store);
    normalizeRtkSigma(store);
    normalizeDewarpData(store);
    return kOk;
}

int EXIF::scanMarkers(const uint8_t* data, size_t length, fw::Settings& store) {
    if (data == nullptr || length < 16) return kNoExif;
    if (data[0] != 0xFF || data[1] != 0xD8) return kNotJpeg;
    bool exifFound = false;
    bool xmpFound = false;
    auto stop = [&](int result) { return exifFound ? kOk : result; };
    size_t pos = 2;
    for (;;) {
        if (pos >= length) return stop(kNoExif);
        // The marker is the first byte other than FF that follows an FF.
        int marker = -1;
        bool afterFF = false;
        while (pos < length) {
            const uint8_t b = data[pos++];
            if (afterFF && b != 0xFF) {
                marker = b;
                break;
            }
            afterFF = (b == 0xFF);
        }
        if (marker < 0) continue;  // ran to the end
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;
        if (marker == 0xD9 || marker == 0xDA) return stop(kNoExif);

        // Every other marker carries a big-endian length that counts itself.
        if (length - pos < 2) return stop(kNotJpeg);
        const size_t segment = (size_t(data[pos]) << 8) | data[pos + 1];
        if (segment < 2 || segment > length - pos) return stop(kNotJpeg);
        if (marker == 0xE1) {
            const uint8_t* payload = data + pos + 2;
            const size_t payloadLength = segment - 2;
            const int exif = parseExifSegment(payload, payloadLength, store);
            if (exif == kOk) {
                if (xmpFound) return kOk;
                exifFound = true;
            } else if (exif == kNoExif) {
                const int xmp = parseXmpSegment(payload, payloadLength, store);
                if (xmp == kOk) {
                    xmpFound = true;
                    if (exifFound) return kOk;
                } else if (xmp != kNoXmp) {
                    return stop(xmp);
                }
            } else {
                return stop(exif);
            }
        }
        pos += segment;
    }
}

int EXIF::parseExifSegment(const uint8_t* payload, size_t length, fw::Settings& store) {
    if (payload == nullptr || length <= 5) return kNoExif;
    if (std::memcmp(payload, "Exif\0\0", 6) != 0) return kNoExif;
    if (length < kTiffStart + 8) return kCorrupt;
    const uint8_t* header = payload + kTiffStart;
    if (header[0] == 'I' && header[1] == 'I') {
        littleEndian_ = true;
    } else if (header[0] == 'M' && header[1] == 'M') {
        littleEndian_ = false;
    } else {
        return kBadByteOrder;
    }
    const TiffData tiff{payload, length, littleEndian_};
    if (tiff.u16(kTiffStart + 2) != 42) return kCorrupt;

    IfdPointers ptrs;
    if (!readIfd(tiff, uint64_t(tiff.u32(kTiffStart + 4)) + kTiffStart, Ifd::Zero, store, ptrs)) return kCorrupt;
    if (ptrs.exifSeen && tiff.fits(ptrs.exif, 4)) {
        IfdPointers unused;
        if (!readIfd(tiff, ptrs.exif, Ifd::Exif, store, unused)) return kCorrupt;
    }
    if (!ptrs.gpsSeen || !tiff.fits(ptrs.gps, 4)) return kOk;
    IfdPointers unused;
    if (!readIfd(tiff, ptrs.gps, Ifd::Gps, store, unused)) return kCorrupt;
    convertGpsCoordinates(store);
    return kOk;
}

int EXIF::parseXmpSegment(const uint8_t* payload, size_t length, fw::Settings& store) {
    if (payload == nullptr || length < kXmpHeaderLength) return kNoXmp;
    if (std::memcmp(payload, kXmpId, kXmpHeaderLength) != 0) return kNoXmp;
    if (length == kXmpHeaderLength) return kCorrupt;

    std::string packet(reinterpret_cast<const char*>(payload) + kXmpHeaderLength, length - kXmpHeaderLength);
    const size_t end = packet.find("<?xpacket end=");
    if (end != std::string::npos) packet.resize(end);

    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    if (doc.Parse(packet.data(), packet.size()) != tinyxml2::XML_SUCCESS) return kOk;
    const tinyxml2::XMLElement* meta = doc.FirstChildElement("x:xmpmeta");
    if (meta == nullptr) meta = doc.FirstChildElement("xmp:xmpmeta");
    if (meta == nullptr) return kOk;
    const tinyxml2::XMLElement* rdf = meta->FirstChildElement("rdf:RDF");
    if (rdf == nullptr) return kOk;
    const tinyxml2::XMLElement* desc = rdf->FirstChildElement("rdf:Description");
    if (desc == nullptr) return kOk;
    for (const tinyxml2::XMLAttribute* a = desc->FirstAttribute(); a != nullptr; a = a->Next()) {
        try {
            store.setvar(a->Name(), a->Value(), true);
        } catch (const std::exception&) {
            // A name that is also a number key of the store, with text that is
            // no number: the attribute is dropped.
        }
    }
    return kOk;
}

void EXIF::convertGpsCoordinates(fw::Settings& store) {
    static const char* const keys[] = {"LatComponents.degrees", "LatComponents.minutes", "LatComponents.seconds",
                                       "LonComponents.degrees", "LonComponents.minutes", "LonComponents.seconds"};
    for (const char* key : keys) {
        if (!hasNumber(store, key)) return;
    }
    auto degrees = [&](const std::string& prefix) {
        return store.GetDouble(prefix + ".degrees", 0.0) + store.GetDouble(prefix + ".minutes", 0.0) / 60.0 +
               store.GetDouble(prefix + ".seconds", 0.0) / 3600.0;
    };
    double latitude = degrees("LatComponents");
    if (store.GetInt("LatComponents.direction", 0) == 'S') latitude = -latitude;
    double longitude = degrees("LonComponents");
    if (store.GetInt("LonComponents.direction", 0) == 'W') longitude = -longitude;
    storeDouble(store, "Latitude", latitude);
    storeDouble(store, "Longitude", longitude);
    if (hasNumber(store, "Altitude") && store.GetInt("AltitudeRef", 0) == 1) {
        storeDouble(store, "Altitude", -store.GetDouble("Altitude", 0.0));
    }
}
