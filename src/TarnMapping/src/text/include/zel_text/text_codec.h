#pragma once
// Small text helpers shared by the programs: base64 decoding and MD5 digests.

#include <string>

namespace zel::text {

// Standard-alphabet base64; decoding stops at the first byte outside the
// alphabet ("=", white space, "-", "_") and drops the bits of an incomplete group.
std::string base64Decode(const std::string& text);

// MD5 of the bytes as 32 lowercase hex digits.
std::string md5Hex(const void* data, int length);

}  // namespace zel::text
