#pragma once
// Writes small vocabulary files byte by byte (little-endian) for the tests.

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace vocabtest {

struct VocabularyFile {
    struct Node {
        uint64_t parent;
        float weight;
        std::vector<unsigned char> descriptor;
    };

    uint64_t signature = 0x14b1863f81ULL;
    uint8_t flag = 0;
    uint32_t branching = 2, depth = 2, scoring = 0, weighting = 0;
    int32_t cols = 16, type = 0;
    std::optional<int32_t> countOverride;
    std::vector<Node> nodes;  // nodes 1 .. N-1
    std::vector<uint64_t> words;

    std::string bytes() const {
        std::string out;
        put(out, signature, 8);
        put(out, flag, 1);
        put(out, uint32_t(countOverride.value_or(int32_t(nodes.size() + 1))), 4);
        put(out, branching, 4);
        put(out, depth, 4);
        put(out, scoring, 4);
        put(out, weighting, 4);
        put(out, uint32_t(cols), 4);
        put(out, 0, 4);
        put(out, uint32_t(type), 4);
        for (const auto& n : nodes) {
            put(out, n.parent, 8);
            uint32_t bits;
            std::memcpy(&bits, &n.weight, 4);
            put(out, bits, 4);
            out.append(n.descriptor.begin(), n.descriptor.end());
        }
        put(out, words.size(), 4);
        for (uint64_t w : words) put(out, w, 8);
        return out;
    }

private:
    static void put(std::string& out, uint64_t v, int n) {
        for (int i = 0; i < n; ++i) out.push_back(char((v >> (8 * i)) & 0xff));
    }
};

inline std::vector<unsigned char> bytesOf(unsigned char b, int n = 16) {
    return std::vector<unsigned char>(size_t(n), b);
}

// Root -> 1 (all 0x00), 2 (all 0xff); 1 -> 3 (0x00), 4 (0x0f); 2 -> 5 (0xf0), 6 (0xff).
// Words 0..3 are nodes 3..6 with weights 0.5, 1, 1.5, 2.
inline VocabularyFile twoLevels() {
    VocabularyFile f;
    f.nodes = {{0, 0, bytesOf(0x00)}, {0, 0, bytesOf(0xff)}, {1, 0.5f, bytesOf(0x00)},
               {1, 1.0f, bytesOf(0x0f)}, {2, 1.5f, bytesOf(0xf0)}, {2, 2.0f, bytesOf(0xff)}};
    f.words = {3, 4, 5, 6};
    return f;
}

}  // namespace vocabtest
