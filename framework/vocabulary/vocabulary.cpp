#include "fw/vocabulary.h"

#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <mutex>
#include <sstream>

namespace fw {

namespace {

constexpr uint64_t kSignature = 0x14b1863f81ULL;
constexpr int32_t kMaxDescriptorCols = 65536;

// Little-endian readers; false when the stream ends early.
bool readBytes(std::istream& in, void* out, size_t n) {
    in.read(static_cast<char*>(out), std::streamsize(n));
    return size_t(in.gcount()) == n;
}

template <typename T>
bool readLE(std::istream& in, T& out) {
    unsigned char b[sizeof(T)];
    if (!readBytes(in, b, sizeof(T))) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v |= uint64_t(b[i]) << (8 * i);
    if constexpr (std::is_same<T, float>::value) {
        const uint32_t bits = uint32_t(v);
        std::memcpy(&out, &bits, sizeof(out));
    } else {
        out = T(v);
    }
    return true;
}

int popcountPlain(uint64_t x) {
    x = x - ((x >> 1) & 0x5555555555555555ULL);
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fULL;
    return int((x * 0x0101010101010101ULL) >> 56);
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("popcnt"))) int popcountInstruction(uint64_t x) {
    return __builtin_popcountll(x);
}
const bool kHasPopcnt = __builtin_cpu_supports("popcnt");
#else
int popcountInstruction(uint64_t x) { return popcountPlain(x); }
const bool kHasPopcnt = false;
#endif

uint64_t hamming(const unsigned char* a, const unsigned char* b, int words) {
    uint64_t bits = 0;
    for (int i = 0; i < words; ++i) {
        uint64_t x, y;
        std::memcpy(&x, a + 8 * i, 8);
        std::memcpy(&y, b + 8 * i, 8);
        bits += uint64_t(kHasPopcnt ? popcountInstruction(x ^ y) : popcountPlain(x ^ y));
    }
    return bits;
}

uint64_t toUnsigned(double d) {
    if (!(d < 18446744073709551615.0)) return std::numeric_limits<uint64_t>::max();
    return d > 0 ? uint64_t(d) : 0;
}

}  // namespace

Vocabulary::Vocabulary() { makeScoring(); }

Vocabulary::~Vocabulary() = default;

size_t Vocabulary::size() const { return words.size(); }

bool Vocabulary::empty() const { return words.empty(); }

void Vocabulary::makeScoring() {
    scorer.reset();
    switch (scoring) {
    case 0: scorer = std::make_shared<L1Scoring>(); break;
    case 1: scorer = std::make_shared<L2Scoring>(); break;
    case 2: scorer = std::make_shared<ChiSquareScoring>(); break;
    case 3: scorer = std::make_shared<KLScoring>(); break;
    case 4: scorer = std::make_shared<BhattacharyyaScoring>(); break;
    case 5: scorer = std::make_shared<DotProductScoring>(); break;
    default: break;
    }
}

void Vocabulary::clear() { *this = Vocabulary(); }

bool Vocabulary::matches(const GImage& feature) const {
    return !nodes.empty() && feature.data && feature.rows >= 1 &&
           feature.cols == descriptors.cols && feature.type == descriptors.type;
}

double Vocabulary::distance(const unsigned char* a, const unsigned char* b) const {
    if (descriptors.type == CV_8UC1) return double(hamming(a, b, descriptors.cols / 8));
    float sum = 0;
    for (int i = 0; i < descriptors.cols; ++i) {
        float x, y;
        std::memcpy(&x, a + 4 * i, 4);
        std::memcpy(&y, b + 4 * i, 4);
        sum += (x - y) * (x - y);
    }
    return sum;
}

void Vocabulary::transformToWord(const GImage& feature, uint64_t& word, float& weight) const {
    word = 0;
    weight = 0;
    if (!matches(feature)) return;
    uint64_t cur = 0;
    while (nodes[cur].childCount > 0) {
        const Node& n = nodes[cur];
        uint64_t best = n.children[0];
        uint64_t bestDistance = std::numeric_limits<uint64_t>::max();
        for (int c = 0; c < n.childCount; ++c) {
            const uint64_t d = toUnsigned(distance(feature.data, nodes[n.children[c]].descriptor.data));
            if (d < bestDistance) {
                bestDistance = d;
                best = n.children[c];
            }
        }
        cur = best;
    }
    word = nodes[cur].wordId;
    weight = nodes[cur].weight;
}

void Vocabulary::transformToWordAndNode(const GImage& feature, uint64_t& word, float& weight,
                                        uint64_t* node, int levelsUp) const {
    word = 0;
    weight = 0;
    if (node) *node = 0;
    if (!matches(feature)) return;
    const int64_t nodeLevel = int64_t(depth) - levelsUp;
    uint64_t cur = 0;
    int64_t level = 0;
    while (nodes[cur].childCount > 0) {
        const Node& n = nodes[cur];
        uint64_t best = n.children[0];
        float bestDistance = 3.4028235e38f;
        for (int c = 0; c < n.childCount; ++c) {
            const float d = float(distance(feature.data, nodes[n.children[c]].descriptor.data));
            if (d < bestDistance) {
                bestDistance = d;
                best = n.children[c];
            }
        }
        cur = best;
        if (++level == nodeLevel && node) *node = cur;
    }
    word = nodes[cur].wordId;
    weight = nodes[cur].weight;
}

uint64_t Vocabulary::wordOf(const GImage& feature) const {
    if (empty()) return 0;
    uint64_t word;
    float weight;
    transformToWord(feature, word, weight);
    return word;
}

template <typename Descend>
void Vocabulary::transformAll(size_t count, const GImage* rows, const GImage& image,
                              BowVector& bow, FeatureVector* fv, Descend descend) const {
    bow.clear();
    if (fv) fv->clear();
    if (empty()) return;
    int norm = 0;
    const bool normalise = scorer && scorer->normalisation(norm);
    for (size_t i = 0; i < count; ++i) {
        const GImage row = rows ? rows[i]
                                : GImage(1, image.cols, image.type,
                                         image.data + int64_t(i) * image.cols * image.elemSize(),
                                         false);
        uint64_t word = 0, node = 0;
        float weight = 0;
        descend(row, word, weight, node);
        if (weight > 0) {
            if (weighting <= 1)
                bow[word] += weight;
            else if (weighting <= 3)
                bow.emplace(word, weight);
            if (fv) (*fv)[node].push_back(uint32_t(i));
        }
    }
    if (normalise) {
        normaliseBowVector(bow, norm);
    } else if (weighting <= 1 && !bow.empty()) {
        const float n = float(bow.size());
        for (auto& e : bow) e.second /= n;
    }
}

void Vocabulary::transform(const GImage& features, BowVector& bow, FeatureVector& fv,
                           int levelsUp) const {
    const size_t count = features.data && features.rows > 0 ? size_t(features.rows) : 0;
    transformAll(count, nullptr, features, bow, &fv,
                 [&](const GImage& f, uint64_t& w, float& wt, uint64_t& n) {
                     transformToWordAndNode(f, w, wt, &n, levelsUp);
                 });
}

void Vocabulary::transformRows(const std::vector<GImage>& features, BowVector& bow,
                               FeatureVector& fv, int levelsUp) const {
    transformAll(features.size(), features.data(), GImage(), bow, &fv,
                 [&](const GImage& f, uint64_t& w, float& wt, uint64_t& n) {
                     transformToWordAndNode(f, w, wt, &n, levelsUp);
                 });
}

void Vocabulary::transformBoW(const GImage& features, BowVector& bow) const {
    const size_t count = features.data && features.rows > 0 ? size_t(features.rows) : 0;
    transformAll(count, nullptr, features, bow, nullptr,
                 [&](const GImage& f, uint64_t& w, float& wt, uint64_t&) {
                     transformToWord(f, w, wt);
                 });
}

uint64_t Vocabulary::parentNode(uint64_t word, int levelsUp) const {
    if (word >= words.size()) return 0;
    uint64_t cur = words[word];
    for (int i = 0; i < levelsUp && cur != 0; ++i) cur = nodes[cur].parent;
    return cur;
}

GImage Vocabulary::wordDescriptor(uint64_t word) const {
    if (word >= words.size()) return GImage();
    return nodes[words[word]].descriptor;
}

float Vocabulary::wordWeight(uint64_t word) const {
    if (word >= words.size()) return 0;
    return nodes[words[word]].weight;
}

int Vocabulary::stopWords(double minWeight) {
    int count = 0;
    for (uint64_t index : words) {
        Node& n = nodes[index];
        if (n.weight < minWeight) {
            n.weight = 0;
            ++count;
        }
    }
    return count;
}

bool Vocabulary::load(std::istream& in) {
    Vocabulary v;
    const auto fail = [this] {
        clear();
        return false;
    };
    uint64_t signature = 0;
    if (!readLE(in, signature)) return fail();
    if (signature != kSignature) {
        std::cerr << "Vocabulary: Wrong signature.";
        return fail();
    }
    uint8_t flag = 0;
    int32_t count = 0;
    if (!readLE(in, flag) || !readLE(in, count) || flag != 0 || count < 1) return fail();
    if (!readLE(in, v.branching) || !readLE(in, v.depth) || !readLE(in, v.scoring) ||
        !readLE(in, v.weighting) || v.scoring > 5)
        return fail();
    v.makeScoring();
    int32_t cols = 0, reserved = 0, type = 0;
    if (!readLE(in, cols) || !readLE(in, reserved) || !readLE(in, type)) return fail();
    if (cols < 1 || cols > kMaxDescriptorCols || (type != CV_8UC1 && type != CV_32FC1))
        return fail();
    const size_t rowBytes = size_t(cols) * (type == CV_8UC1 ? 1 : 4);

    // Nodes are read before anything is sized by the count, so a short file
    // fails without a large allocation.
    std::vector<unsigned char> rows(rowBytes, 0);  // the root's row
    v.nodes.resize(1);
    for (int32_t i = 1; i < count; ++i) {
        Node n;
        n.id = uint64_t(i);
        if (!readLE(in, n.parent) || !readLE(in, n.weight) || n.parent >= n.id) return fail();
        rows.resize(rows.size() + rowBytes);
        if (!readBytes(in, rows.data() + rows.size() - rowBytes, rowBytes)) return fail();
        Node& parent = v.nodes[n.parent];
        if (parent.childCount < kMaxChildren) parent.children[parent.childCount++] = n.id;
        v.nodes.push_back(n);
    }
    uint32_t wordCount = 0;
    if (!readLE(in, wordCount)) return fail();
    for (uint32_t i = 0; i < wordCount; ++i) {
        uint64_t node = 0;
        if (!readLE(in, node) || node >= uint64_t(count)) return fail();
        v.words.push_back(node);
        v.nodes[node].wordId = i;
    }

    v.descriptors = GImage(count, cols, type, rows.data(), true);
    if (!v.descriptors.data) return fail();
    for (int32_t i = 0; i < count; ++i)
        v.nodes[i].descriptor = GImage(1, cols, type, v.descriptors.data + size_t(i) * rowBytes, false);
    *this = std::move(v);
    return true;
}

bool Vocabulary::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "Vocabulary::load Could not open file " << path << " for reading" << std::endl;
        clear();
        return false;
    }
    return load(in);
}

FileResource::FileBuffer& FileResource::getResource(const std::string& name) {
    static SettingsWithType<FileBuffer> resources;
    return resources.getRef(name);
}

SettingsWithType<Vocabulary>& vocabularyCache() {
    static SettingsWithType<Vocabulary> cache;
    return cache;
}

const Vocabulary* sharedVocabulary() {
    static std::mutex loadMutex;
    Vocabulary& vocabulary = vocabularyCache().getRef("Vocabulary");
    std::lock_guard<std::mutex> lock(loadMutex);
    if (!vocabulary.empty()) return &vocabulary;
    const std::string name =
        Settings::instance().GetString("SLAM.Vocabulary", "sift_10_4_tf_l1.bow");
    const FileResource::FileBuffer& buffer = FileResource::getResource(name);
    bool loaded = false;
    if (buffer.data && buffer.size) {
        std::istringstream in(std::string(buffer.data, buffer.size));
        loaded = vocabulary.load(in);
    }
    if (!loaded) {
        const std::string again =
            Settings::instance().GetString("SLAM.Vocabulary", "sift_10_4_tf_l1.bow");
        loaded = vocabulary.load(again);
    }
    return loaded && !vocabulary.empty() ? &vocabulary : nullptr;
}

}  // namespace fw
