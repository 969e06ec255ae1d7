#include "zel_text/text_codec.h"

#include <openssl/md5.h>

#include <array>
#include <cstdint>
#include <cstdio>

namespace {
std::array<int, 256> makeTable() {
    std::array<int, 256> table{};
    table.fill(-1);
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = i;
    return table;
}
}  // namespace

namespace zel::text {

std::string base64Decode(const std::string& text) {
    static const std::array<int, 256> table = makeTable();
    std::string out;
    out.reserve(text.size() * 3 / 4);
    uint32_t acc = 0;
    int bits = -8;
    for (unsigned char c : text) {
        const int v = table[c];
        if (v < 0) break;
        acc = acc * 64u + static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 0) {
            out.push_back(static_cast<char>((acc >> bits) & 0xFFu));
            bits -= 8;
        }
    }
    return out;
}

std::string md5Hex(const void* data, int length) {
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5(static_cast<const unsigned char*>(data), length > 0 ? static_cast<size_t>(length) : 0, digest);
    char hex[2 * MD5_DIGEST_LENGTH + 1];
    for (int i = 0; i < MD5_DIGEST_LENGTH; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return std::string(hex, 2 * MD5_DIGEST_LENGTH);
}

}  // namespace zel::text
