#pragma once
// A named progress record with weighted sub-stages.

#include <string>
#include <vector>

struct ProgressNode {
    std::string name;     // empty: the node reports no progress
    double value = -1.0;  // -1.0: nothing reported yet
    double total = 1.0;
    float weight = 1.0f;  // share of the parent's value among several children
    double time = -1.0;   // wall-clock seconds of the last change, -1.0 never
    std::vector<ProgressNode> children;

    ProgressNode() = default;
    ProgressNode(std::string name_, double value_, double total_, float weight_, double time_,
                 std::vector<ProgressNode> children_ = {});
};

namespace zel {

// The job's stage table: "Mapping" with "Locate" (0.7) and "Map Fusion" (0.3).
const ProgressNode& mappingStages();

}  // namespace zel
