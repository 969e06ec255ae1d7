#pragma once
// Byte-level builder of JPEG heads for the reader's tests: TIFF data with
// IFD0, Exif and GPS IFDs in either byte order, EXIF and XMP APP1 payloads,
// and whole files, including deliberately broken ones.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace jpegtest {

using Bytes = std::vector<uint8_t>;

enum class Ifd { Zero, Exif, Gps };

struct TiffEntry {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint32_t count = 0;
    Bytes value;                          // the value bytes, already in the byte order
    std::optional<uint32_t> fieldOverride;  // a value field written as is (bad offsets)
};

class TiffBuilder {
public:
    explicit TiffBuilder(bool littleEndian = true) : le_(littleEndian) {}

    bool littleEndian() const { return le_; }

    TiffBuilder& add(Ifd ifd, TiffEntry entry) {
        list(ifd).push_back(std::move(entry));
        return *this;
    }
    TiffBuilder& ascii(Ifd ifd, uint16_t tag, const std::string& text) {
        Bytes b(text.begin(), text.end());
        b.push_back(0);
        return add(ifd, {tag, 2, uint32_t(b.size()), b, {}});
    }
    TiffBuilder& byte(Ifd ifd, uint16_t tag, uint8_t v, uint16_t type = 1) {
        return add(ifd, {tag, type, 1, {v}, {}});
    }
    TiffBuilder& u16(Ifd ifd, uint16_t tag, uint16_t v) { return add(ifd, {tag, 3, 1, put16(v), {}}); }
    TiffBuilder& u32(Ifd ifd, uint16_t tag, uint32_t v) { return add(ifd, {tag, 4, 1, put32(v), {}}); }
    TiffBuilder& rationals(Ifd ifd, uint16_t tag, const std::vector<std::pair<int64_t, int64_t>>& values,
                           uint16_t type = 5) {
        Bytes b;
        for (const auto& [n, d] : values) {
            append(b, put32(uint32_t(n)));
            append(b, put32(uint32_t(d)));
        }
        return add(ifd, {tag, type, uint32_t(values.size()), b, {}});
    }
    TiffBuilder& rational(Ifd ifd, uint16_t tag, int64_t n, int64_t d, uint16_t type = 5) {
        return rationals(ifd, tag, {{n, d}}, type);
    }

    // Value written instead of the real IFD0 offset, and pointer overrides.
    TiffBuilder& ifd0Offset(uint32_t offset) {
        ifd0Offset_ = offset;
        return *this;
    }
    TiffBuilder& exifPointer(uint32_t offset) {
        exifPointer_ = offset;
        return *this;
    }
    TiffBuilder& gpsPointer(uint32_t offset) {
        gpsPointer_ = offset;
        return *this;
    }
    TiffBuilder& magic(uint16_t value) {
        magic_ = value;
        return *this;
    }
    TiffBuilder& byteOrderMark(const std::string& mark) {
        mark_ = mark;
        return *this;
    }

    Bytes put16(uint16_t v) const {
        return le_ ? Bytes{uint8_t(v), uint8_t(v >> 8)} : Bytes{uint8_t(v >> 8), uint8_t(v)};
    }
    Bytes put32(uint32_t v) const {
        return le_ ? Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}
                   : Bytes{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    }

    // Header, IFD0 at 8, then the Exif and GPS IFDs, then the data area.
    Bytes build() const {
        std::vector<TiffEntry> zero = ifd0_;
        const bool hasExif = !exif_.empty() || exifPointer_;
        const bool hasGps = !gps_.empty() || gpsPointer_;
        if (hasExif) zero.push_back({0x8769, 4, 1, put32(0), {}});
        if (hasGps) zero.push_back({0x8825, 4, 1, put32(0), {}});
        auto ifdSize = [](const std::vector<TiffEntry>& e) { return uint32_t(2 + 12 * e.size() + 4); };
        const uint32_t zeroAt = 8;
        const uint32_t exifAt = zeroAt + ifdSize(zero);
        const uint32_t gpsAt = exifAt + (exif_.empty() ? 0 : ifdSize(exif_));
        uint32_t dataAt = gpsAt + (gps_.empty() ? 0 : ifdSize(gps_));
        if (hasExif) zero[zero.size() - (hasGps ? 2 : 1)].fieldOverride = exifPointer_.value_or(exifAt);
        if (hasGps) zero.back().fieldOverride = gpsPointer_.value_or(gpsAt);

        Bytes out(mark_.begin(), mark_.end());
        append(out, put16(magic_));
        append(out, put32(ifd0Offset_.value_or(zeroAt)));
        Bytes data;
        auto writeIfd = [&](const std::vector<TiffEntry>& entries) {
            append(out, put16(uint16_t(entries.size())));
            for (const auto& e : entries) {
                append(out, put16(e.tag));
                append(out, put16(e.type));
                append(out, put32(e.count));
                if (e.fieldOverride) {
                    append(out, put32(*e.fieldOverride));
                } else if (e.value.size() <= 4) {
                    Bytes field = e.value;
                    field.resize(4, 0);
                    append(out, field);
                } else {
                    append(out, put32(dataAt + uint32_t(data.size())));
                    append(data, e.value);
                    if (data.size() % 2) data.push_back(0);
                }
            }
            append(out, put32(0));
        };
        // Data offsets depend on the order: IFDs first, all data after them.
        writeIfd(zero);
        if (!exif_.empty()) writeIfd(exif_);
        if (!gps_.empty()) writeIfd(gps_);
        append(out, data);
        return out;
    }

    static void append(Bytes& to, const Bytes& from) {
        const size_t at = to.size();
        to.resize(at + from.size());
        std::copy(from.begin(), from.end(), to.begin() + static_cast<std::ptrdiff_t>(at));
    }

private:
    std::vector<TiffEntry>& list(Ifd ifd) { return ifd == Ifd::Zero ? ifd0_ : ifd == Ifd::Exif ? exif_ : gps_; }

    bool le_;
    std::string mark_ = le_ ? "II" : "MM";
    uint16_t magic_ = 42;
    std::optional<uint32_t> ifd0Offset_, exifPointer_, gpsPointer_;
    std::vector<TiffEntry> ifd0_, exif_, gps_;
};

inline Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

// All bytes of a literal, embedded NULs included (not its final NUL).
template <size_t N>
Bytes raw(const char (&s)[N]) {
    return Bytes(s, s + N - 1);
}

inline Bytes exifPayload(const Bytes& tiff) {
    Bytes b = {'E', 'x', 'i', 'f', 0, 0};
    TiffBuilder::append(b, tiff);
    return b;
}

inline Bytes xmpPayload(const std::string& packet) {
    Bytes b = bytesOf("http://ns.adobe.com/xap/1.0/");
    b.push_back(0);
    TiffBuilder::append(b, bytesOf(packet));
    return b;
}

// An XMP packet whose first rdf:Description carries the attributes.
inline std::string xmpPacket(const std::vector<std::pair<std::string, std::string>>& attributes,
                             const std::string& meta = "x:xmpmeta") {
    std::string s = "<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n<" + meta +
                    " xmlns:x=\"adobe:ns:meta/\">\n <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
                    "  <rdf:Description";
    for (const auto& [name, value] : attributes) s += "\n    " + name + "=\"" + value + "\"";
    s += "/>\n </rdf:RDF>\n</" + meta + ">\n<?xpacket end=\"w\"?>";
    return s;
}

// A marker segment: FF, marker, big-endian length (payload + 2), payload.
inline Bytes segment(uint8_t marker, const Bytes& payload) {
    const size_t length = payload.size() + 2;
    Bytes b = {0xFF, marker, uint8_t(length >> 8), uint8_t(length)};
    TiffBuilder::append(b, payload);
    return b;
}

// SOI, the segments, a start of scan with a little entropy data, EOI.
inline Bytes jpeg(const std::vector<Bytes>& segments) {
    Bytes b = {0xFF, 0xD8};
    for (const auto& s : segments) TiffBuilder::append(b, s);
    TiffBuilder::append(b, segment(0xDA, {1, 2, 3, 4, 5, 6}));
    TiffBuilder::append(b, {0x12, 0x34, 0xFF, 0x00, 0x56, 0xFF, 0xD9});
    return b;
}

}  // namespace jpegtest
