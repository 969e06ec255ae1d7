#pragma once
// Tree of visual words. A descriptor descends from the root to the closest
// child at every level until it reaches a leaf, a word with a weight.

#include "fw/bow_vector.h"
#include "fw/gimage.h"
#include "fw/scoring.h"
#include "fw/settings.h"

#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <vector>

namespace fw {

class Vocabulary {
public:
    static constexpr int kMaxChildren = 10;

    struct Node {
        uint64_t id = 0;
        float weight = 0;
        uint64_t parent = 0;
        int32_t childCount = 0;
        uint64_t children[kMaxChildren] = {};
        uint64_t wordId = 0;
        GImage descriptor;  // one-row view into the vocabulary's descriptor image
    };

    Vocabulary();
    Vocabulary(const Vocabulary&) = default;
    Vocabulary& operator=(const Vocabulary&) = default;
    Vocabulary(Vocabulary&&) = default;
    Vocabulary& operator=(Vocabulary&&) = default;

    // Number of words.
    virtual size_t size() const;
    virtual bool empty() const;
    // Descent with distances truncated to integers.
    virtual void transformToWord(const GImage& feature, uint64_t& word, float& weight) const;
    // Descent with float distances; node receives the node passed at depth
    // (depth - levelsUp), the root when that is below 1.
    virtual void transformToWordAndNode(const GImage& feature, uint64_t& word, float& weight,
                                        uint64_t* node, int levelsUp) const;
    virtual uint64_t wordOf(const GImage& feature) const;
    // One feature per row of features.
    virtual void transform(const GImage& features, BowVector& bow, FeatureVector& fv,
                           int levelsUp) const;
    virtual void transformRows(const std::vector<GImage>& features, BowVector& bow,
                               FeatureVector& fv, int levelsUp) const;
    virtual void transformBoW(const GImage& features, BowVector& bow) const;
    // The word's node, then its parent levelsUp times, stopping at the root.
    virtual uint64_t parentNode(uint64_t word, int levelsUp) const;
    virtual GImage wordDescriptor(uint64_t word) const;
    virtual float wordWeight(uint64_t word) const;
    // Words lighter than minWeight get weight 0; returns how many.
    virtual int stopWords(double minWeight);
    virtual ~Vocabulary();

    // Binary vocabulary file. Every read and every index is checked: on any
    // failure the result is false and the vocabulary is left empty.
    bool load(std::istream& in);
    bool load(const std::string& path);
    // Makes the scorer of the scoring type; none for a type above 5.
    void makeScoring();

    uint32_t branching = 10;
    uint32_t depth = 5;
    uint32_t weighting = 0;
    uint32_t scoring = 0;
    std::shared_ptr<GeneralScoring> scorer;
    std::vector<Node> nodes;
    GImage descriptors;
    std::vector<uint64_t> words;  // word id -> node index

private:
    bool matches(const GImage& feature) const;
    double distance(const unsigned char* a, const unsigned char* b) const;
    template <typename Descend>
    void transformAll(size_t count, const GImage* rows, const GImage& image, BowVector& bow,
                      FeatureVector* fv, Descend descend) const;
    void clear();
};

// Files held in memory under a name.
struct FileResource {
    struct FileBuffer {
        const char* data = nullptr;
        size_t size = 0;
    };
    // The buffer registered under name; an empty one is inserted when absent.
    static FileBuffer& getResource(const std::string& name);
};

// The process-wide vocabulary cache.
SettingsWithType<Vocabulary>& vocabularyCache();

// The cached vocabulary "Vocabulary", loaded on the first request that finds
// it empty: from the in-memory file named by "SLAM.Vocabulary" (default
// "sift_10_4_tf_l1.bow"), else from the file of that name. Loads are
// serialised. Null when the vocabulary cannot be loaded.
const Vocabulary* sharedVocabulary();

}  // namespace fw
