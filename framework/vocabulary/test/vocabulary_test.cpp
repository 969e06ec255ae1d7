#include "fw/scoring.h"
#include "fw/vocabulary.h"
#include "vocabulary_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>

namespace {

using vocabtest::bytesOf;
using vocabtest::twoLevels;
using vocabtest::VocabularyFile;

std::vector<unsigned char> floatsOf(std::vector<float> v) {
    std::vector<unsigned char> out(v.size() * 4);
    std::memcpy(out.data(), v.data(), out.size());
    return out;
}

bool load(fw::Vocabulary& v, const std::string& bytes) {
    std::istringstream in(bytes);
    return v.load(in);
}

// One-row 8-bit feature.
struct Feature {
    std::vector<unsigned char> bytes;
    fw::GImage image;
    explicit Feature(std::vector<unsigned char> b)
        : bytes(std::move(b)), image(1, int(bytes.size()), 0, bytes.data(), false) {}
};

}  // namespace

TEST(VocabularyLoad, TwoLevelTreeDescendsToItsWords) {
    fw::Vocabulary v;
    ASSERT_TRUE(load(v, twoLevels().bytes()));
    EXPECT_EQ(v.size(), 4u);
    EXPECT_FALSE(v.empty());
    EXPECT_EQ(v.depth, 2u);
    EXPECT_EQ(v.nodes[1].childCount, 2);
    EXPECT_EQ(v.wordWeight(2), 1.5f);
    EXPECT_EQ(v.wordDescriptor(1).data[0], 0x0f);

    // Worked by hand from the Hamming distances to the node descriptors.
    struct Case {
        unsigned char fill;
        uint64_t word, level1;
        float weight;
    } cases[] = {{0x01, 0, 1, 0.5f}, {0x0e, 1, 1, 1.0f}, {0xf8, 2, 2, 1.5f}, {0xfe, 3, 2, 2.0f}};
    for (const auto& c : cases) {
        const Feature f(bytesOf(c.fill));
        uint64_t word = 99, node = 99;
        float weight = -1;
        v.transformToWord(f.image, word, weight);
        EXPECT_EQ(word, c.word) << int(c.fill);
        EXPECT_EQ(weight, c.weight);
        EXPECT_EQ(v.wordOf(f.image), c.word);
        v.transformToWordAndNode(f.image, word, weight, &node, 1);  // depth 1
        EXPECT_EQ(word, c.word);
        EXPECT_EQ(node, c.level1);
        v.transformToWordAndNode(f.image, word, weight, &node, 0);  // the leaf
        EXPECT_EQ(node, c.word + 3);
        v.transformToWordAndNode(f.image, word, weight, &node, 5);  // above the root
        EXPECT_EQ(node, 0u);
    }
    EXPECT_EQ(v.parentNode(1, 1), 1u);
    EXPECT_EQ(v.parentNode(3, 0), 6u);
    EXPECT_EQ(v.parentNode(3, 100), 0u);
    EXPECT_EQ(v.parentNode(99, 1), 0u);  // no such word
    EXPECT_TRUE(v.wordDescriptor(99).empty());
}

TEST(VocabularyLoad, TiesKeepTheEarlierChildAndTheEleventhChildIsUnlinked) {
    VocabularyFile f;
    f.depth = 1;
    for (int i = 0; i < 11; ++i) f.nodes.push_back({0, float(i + 1), bytesOf(i == 10 ? 0x55 : 0xff)});
    for (uint64_t i = 1; i <= 11; ++i) f.words.push_back(i);
    fw::Vocabulary v;
    ASSERT_TRUE(load(v, f.bytes()));
    EXPECT_EQ(v.nodes[0].childCount, 10);
    // 0x55 matches node 11 exactly, but it is not a child: every linked child
    // is at the same distance, so the first one wins.
    const Feature feature(bytesOf(0x55));
    EXPECT_EQ(v.wordOf(feature.image), 0u);
}

TEST(VocabularyLoad, FloatDescriptorsUseSquaredDistances) {
    VocabularyFile f;
    f.depth = 1;
    f.cols = 3;
    f.type = 5;
    f.nodes = {{0, 1, floatsOf({0, 0, 0})}, {0, 2, floatsOf({1, 1, 1})}, {0, 3, floatsOf({5, 5, 5})}};
    f.words = {1, 2, 3};
    fw::Vocabulary v;
    ASSERT_TRUE(load(v, f.bytes()));
    std::vector<float> values = {0.9f, 1.2f, 0.8f, 4.0f, 4.0f, 3.5f};
    const fw::GImage features(2, 3, 5, reinterpret_cast<unsigned char*>(values.data()), false);
    const fw::GImage first(1, 3, 5, features.data, false);
    EXPECT_EQ(v.wordOf(first), 1u);
    fw::BowVector bow;
    fw::FeatureVector fv;
    v.transform(features, bow, fv, 1);
    // Words 1 (weight 2) and 2 (weight 3), normalised by L1: 0.4 and 0.6.
    ASSERT_EQ(bow.size(), 2u);
    EXPECT_FLOAT_EQ(bow.at(1), 0.4f);
    EXPECT_FLOAT_EQ(bow.at(2), 0.6f);
}

TEST(VocabularyLoad, RefusesBadFiles) {
    struct Case {
        const char* name;
        std::string bytes;
        std::string message;
    };
    std::vector<Case> cases;
    auto with = [](auto change) {
        VocabularyFile f = twoLevels();
        change(f);
        return f.bytes();
    };
    cases.push_back({"signature", with([](VocabularyFile& f) { f.signature = 0x14b1863f82ULL; }),
                     "Vocabulary: Wrong signature."});
    cases.push_back({"flag", with([](VocabularyFile& f) { f.flag = 1; }), ""});
    cases.push_back({"no nodes", with([](VocabularyFile& f) { f.countOverride = 0; }), ""});
    cases.push_back({"negative count", with([](VocabularyFile& f) { f.countOverride = -5; }), ""});
    cases.push_back({"count beyond the file", with([](VocabularyFile& f) { f.countOverride = 2000000000; }), ""});
    cases.push_back({"parent after child", with([](VocabularyFile& f) { f.nodes[2].parent = 5; }), ""});
    cases.push_back({"parent is itself", with([](VocabularyFile& f) { f.nodes[0].parent = 1; }), ""});
    cases.push_back({"word node out of range", with([](VocabularyFile& f) { f.words[3] = 7; }), ""});
    cases.push_back({"scoring 6", with([](VocabularyFile& f) { f.scoring = 6; }), ""});
    cases.push_back({"descriptor type", with([](VocabularyFile& f) { f.type = 16; }), ""});
    cases.push_back({"no columns", with([](VocabularyFile& f) { f.cols = 0; }), ""});
    cases.push_back({"empty file", "", ""});
    // Every proper prefix of a valid file is truncated.
    const std::string valid = twoLevels().bytes();
    for (size_t n = 1; n < valid.size(); ++n) cases.push_back({"truncated", valid.substr(0, n), ""});

    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.name << " (" << c.bytes.size() << " bytes)");
        fw::Vocabulary v;
        ASSERT_TRUE(load(v, valid));
        testing::internal::CaptureStderr();
        EXPECT_FALSE(load(v, c.bytes));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        // Left empty, with nothing of the refused file.
        EXPECT_TRUE(v.empty());
        EXPECT_TRUE(v.nodes.empty());
        EXPECT_TRUE(v.descriptors.empty());
        const Feature f(bytesOf(0x0e));
        EXPECT_EQ(v.wordOf(f.image), 0u);
    }
}

TEST(VocabularyLoad, RootOnlyLoadsEmptyAndMissingFilesSaySo) {
    VocabularyFile f;
    fw::Vocabulary v;
    ASSERT_TRUE(load(v, f.bytes()));
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(v.nodes.size(), 1u);

    testing::internal::CaptureStderr();
    EXPECT_FALSE(v.load(std::string("/nonexistent/dir/vocabulary.bow")));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Vocabulary::load Could not open file /nonexistent/dir/vocabulary.bow for reading\n");
}

TEST(VocabularyTransform, WeightingNormalisationAndFeatureVector) {
    // Rows: word 1, word 1, word 3, and one of the wrong width handled as a row of the image.
    std::vector<unsigned char> rows;
    for (unsigned char b : {0x0e, 0x0f, 0xfe}) {
        const auto r = bytesOf(b);
        rows.insert(rows.end(), r.begin(), r.end());
    }
    const fw::GImage features(3, 16, 0, rows.data(), false);
    struct Case {
        uint32_t scoring, weighting;
        float w1, w3;
    } cases[] = {
        {0, 0, 2.0f / 4, 2.0f / 4},  // L1: weights 1 + 1 and 2, normalised
        {0, 2, 1.0f / 3, 2.0f / 3},  // first weight of a word stays
        {1, 0, 2.0f / std::sqrt(8.0f), 2.0f / std::sqrt(8.0f)},  // L2
        {5, 0, 2.0f / 2, 2.0f / 2},  // dot product: divided by the number of entries
        {5, 2, 1.0f, 2.0f},          // no normalisation, no division
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "scoring " << c.scoring << " weighting " << c.weighting);
        VocabularyFile f = twoLevels();
        f.scoring = c.scoring;
        f.weighting = c.weighting;
        fw::Vocabulary v;
        ASSERT_TRUE(load(v, f.bytes()));
        fw::BowVector bow = {{42, 1.0f}};
        fw::FeatureVector fv = {{42, {7}}};
        v.transform(features, bow, fv, 1);
        ASSERT_EQ(bow.size(), 2u);
        EXPECT_FLOAT_EQ(bow.at(1), c.w1);
        EXPECT_FLOAT_EQ(bow.at(3), c.w3);
        ASSERT_EQ(fv.size(), 2u);
        EXPECT_EQ(fv.at(1), (std::vector<uint32_t>{0, 1}));
        EXPECT_EQ(fv.at(2), (std::vector<uint32_t>{2}));

        fw::BowVector bow2;
        v.transformBoW(features, bow2);
        EXPECT_EQ(bow2, bow);
        std::vector<fw::GImage> list;
        for (int i = 0; i < 3; ++i) list.emplace_back(1, 16, 0, rows.data() + 16 * i, false);
        fw::BowVector bow3;
        fw::FeatureVector fv3;
        v.transformRows(list, bow3, fv3, 1);
        EXPECT_EQ(bow3, bow);
        EXPECT_EQ(fv3, fv);
    }
}

TEST(VocabularyTransform, ForeignFeaturesAndEmptyVocabulariesGiveNothing) {
    fw::Vocabulary v;
    ASSERT_TRUE(load(v, twoLevels().bytes()));
    std::vector<unsigned char> narrow(8, 0x0e);
    const fw::GImage shortRow(1, 8, 0, narrow.data(), false);
    uint64_t word = 5;
    float weight = 5;
    v.transformToWord(shortRow, word, weight);
    EXPECT_EQ(word, 0u);
    EXPECT_EQ(weight, 0.0f);
    fw::BowVector bow = {{1, 1.0f}};
    fw::FeatureVector fv;
    v.transform(shortRow, bow, fv, 1);
    EXPECT_TRUE(bow.empty());
    v.transform(fw::GImage(), bow, fv, 1);
    EXPECT_TRUE(bow.empty());

    const fw::Vocabulary none;
    const Feature f(bytesOf(0x0e));
    EXPECT_EQ(none.wordOf(f.image), 0u);
    none.transformToWord(f.image, word, weight);
    EXPECT_EQ(weight, 0.0f);
    bow = {{1, 1.0f}};
    none.transform(f.image, bow, fv, 1);
    EXPECT_TRUE(bow.empty());
}

TEST(VocabularyTransform, StopWords) {
    fw::Vocabulary v;
    ASSERT_TRUE(load(v, twoLevels().bytes()));
    EXPECT_EQ(v.stopWords(1.2), 2);  // weights 0.5 and 1.0
    EXPECT_EQ(v.wordWeight(0), 0.0f);
    EXPECT_EQ(v.wordWeight(1), 0.0f);
    EXPECT_EQ(v.wordWeight(2), 1.5f);
    // A stopped word adds nothing to a vector.
    const Feature f(bytesOf(0x01));
    fw::BowVector bow;
    fw::FeatureVector fv;
    v.transform(f.image, bow, fv, 1);
    EXPECT_TRUE(bow.empty());
}

TEST(Scoring, EqualAndDisjointVectors) {
    const fw::BowVector a = {{1, 0.25f}, {4, 0.75f}};
    const fw::BowVector b = {{2, 0.5f}, {3, 0.5f}};
    const double logEps = std::log(2.220446049250313e-16);
    // Worked by hand for the L1-normalised vectors above.
    const double klDisjoint = 0.25 * (std::log(0.25) - logEps) + 0.75 * (std::log(0.75) - logEps);
    struct Case {
        std::shared_ptr<fw::GeneralScoring> scorer;
        bool normalise;
        int norm;
        double equal, disjoint;
    } cases[] = {
        {std::make_shared<fw::L1Scoring>(), true, 0, 1.0, 0.0},
        {std::make_shared<fw::L2Scoring>(), true, 1, 1 - std::sqrt(1 - 0.625), 0.0},
        {std::make_shared<fw::ChiSquareScoring>(), true, 0, 1.0, 0.0},
        {std::make_shared<fw::KLScoring>(), true, 0, 0.0, klDisjoint},
        {std::make_shared<fw::BhattacharyyaScoring>(), true, 0, 1.0, 0.0},
        {std::make_shared<fw::DotProductScoring>(), false, -7, 0.625, 0.0},
    };
    for (const auto& c : cases) {
        int norm = -7;
        EXPECT_EQ(c.scorer->normalisation(norm), c.normalise);
        EXPECT_EQ(norm, c.norm);
        EXPECT_NEAR(c.scorer->score(a, a), c.equal, 1e-6);
        EXPECT_NEAR(c.scorer->score(a, b), c.disjoint, 1e-5);
    }
    // L2 of unit vectors whose product is just above 1 by rounding is exactly 1.
    const fw::BowVector u = {{1, 0.6f}, {2, 0.8f}};
    const fw::BowVector w = {{1, 0.6000001f}, {2, 0.8000001f}};
    EXPECT_GT(0.6 * double(0.6000001f) + 0.8 * double(0.8000001f), 1.0);
    EXPECT_EQ(fw::L2Scoring().score(u, w), 1.0);
    // KL: a zero weight on either side adds nothing.
    EXPECT_EQ(fw::KLScoring().score({{1, 0.0f}}, {{2, 0.5f}}), 0.0);
    EXPECT_EQ(fw::KLScoring().score({{1, 0.5f}}, {{1, 0.0f}}), 0.0);
}

TEST(Scoring, Normalisation) {
    fw::BowVector v = {{1, 3.0f}, {2, -1.0f}};
    fw::normaliseBowVector(v, 0);
    EXPECT_FLOAT_EQ(v.at(1), 0.75f);
    EXPECT_FLOAT_EQ(v.at(2), -0.25f);
    v = {{1, 3.0f}, {2, 4.0f}};
    fw::normaliseBowVector(v, 1);
    EXPECT_FLOAT_EQ(v.at(1), 0.6f);
    EXPECT_FLOAT_EQ(v.at(2), 0.8f);
    v = {{1, 0.0f}};
    fw::normaliseBowVector(v, 0);
    EXPECT_EQ(v.at(1), 0.0f);
}
