#pragma once
// Reader of the EXIF and XMP metadata in the head of a JPEG file. Values go
// into a metadata store under fixed key names; the maker normalisers then map
// the drone makers' own tags to the common keys of the frame record.

#include <cstddef>
#include <cstdint>

namespace fw {
class Settings;
}

class EXIF {
public:
    // Result codes of the parsers.
    enum Result {
        kOk = 0,
        kNotJpeg = 1,      // not a JPEG, or a segment runs past the end before any EXIF
        kNoExif = 2,       // data too short or absent, or an APP1 that is not EXIF
        kNoXmp = 3,        // an APP1 that is not XMP
        kBadByteOrder = 4, // TIFF byte order other than "II" and "MM"
        kCorrupt = 5,      // corrupt TIFF structure, or an XMP header with nothing behind it
    };

    // The marker walk and, when it succeeds, the five maker normalisers.
    int parseBuffer(const uint8_t* data, size_t length, fw::Settings& store);

    int scanMarkers(const uint8_t* data, size_t length, fw::Settings& store);
    int parseExifSegment(const uint8_t* payload, size_t length, fw::Settings& store);
    int parseXmpSegment(const uint8_t* payload, size_t length, fw::Settings& store);

    // GPS degree, minute and second components to signed decimal degrees.
    void convertGpsCoordinates(fw::Settings& store);

    // Maker normalisers, run in this order by parseBuffer.
    void deriveCameraName(fw::Settings& store);
    void normalizeGps(fw::Settings& store);
    void normalizeAttitude(fw::Settings& store);
    void normalizeRtkSigma(fw::Settings& store);
    void normalizeDewarpData(fw::Settings& store);

    bool littleEndian() const { return littleEndian_; }

private:
    bool littleEndian_ = true;  // byte order of the TIFF data ("II")
};
