#pragma once
// Bag-of-words and feature vectors of a frame's descriptors.

#include <cstdint>
#include <map>
#include <vector>

namespace fw {

// Word id -> weight.
using BowVector = std::map<uint64_t, float>;
// Vocabulary node id -> indices of the keypoints that descend through it.
using FeatureVector = std::map<uint64_t, std::vector<uint32_t>>;

}  // namespace fw
