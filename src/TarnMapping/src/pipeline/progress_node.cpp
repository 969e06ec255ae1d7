#include "zel/progress_node.h"

#include <utility>

ProgressNode::ProgressNode(std::string name_, double value_, double total_, float weight_, double time_,
                           std::vector<ProgressNode> children_)
    : name(std::move(name_)), value(value_), total(total_), weight(weight_), time(time_),
      children(std::move(children_)) {}

namespace zel {

const ProgressNode& mappingStages() {
    static const ProgressNode stages("Mapping", 0.0, 1.0, 1.0f, -1.0,
                                     {ProgressNode("Locate", 0.0, -1.0, 0.7f, -1.0),
                                      ProgressNode("Map Fusion", 0.0, -1.0, 0.3f, -1.0)});
    return stages;
}

}  // namespace zel
