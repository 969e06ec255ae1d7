#include "zel_text/text_codec.h"

#include <gtest/gtest.h>

#include <vector>

using zel::text::base64Decode;
using zel::text::md5Hex;

TEST(Base64Decode, Table) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {"TWFu", "Man"},
        {"TWE=", "Ma"},
        {"TWE", "Ma"},        // padding changes nothing
        {"TQ==", "M"},
        {"TQ", "M"},          // two characters give one byte
        {"T", ""},            // one character gives nothing
        {"eyJhIjoxfQ==", "{\"a\":1}"},
        {"TWFu\nTWFu", "Man"},  // a line break ends decoding
        {"TWFu-TWFu", "Man"},   // so does the URL-safe alphabet
        {"TWFu_TWFu", "Man"},
        {"TWFu TWFu", "Man"},
        {"{\"home\":1}", ""},   // plain JSON decodes to nothing
        {"+/+/", "\xfb\xff\xbf"},
        {"AAEC", std::string("\x00\x01\x02", 3)},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(base64Decode(in), out) << in;
}

TEST(Md5Hex, KnownDigests) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"The quick brown fox jumps over the lazy dog", "9e107d9d372bb6826bd81d3542a419d6"},
        {std::string("\x00\xff", 2), "d07d34efac6328007ad67c7e0a985e00"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(md5Hex(in.data(), static_cast<int>(in.size())), out);
}
