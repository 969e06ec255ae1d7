#pragma once
// k-d tree over points of a fixed dimension, built by insertion (no
// rebalancing). Each node keeps its own copy of the position and a caller's
// index. Not thread-safe: one thread builds and queries a tree.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cluster {

class KdTree {
public:
    explicit KdTree(unsigned dim);

    unsigned dim() const { return dim_; }
    size_t size() const { return axes_.size(); }

    // Inserts position (dim values) with its index: 0, or -1 when memory runs out.
    int insert(const double* position, uint32_t index);

    // Indices of every node within radius of position (squared distance at
    // most radius squared, so a point exactly at the radius is included), in
    // reverse order of discovery. False, with out empty, when memory runs out.
    bool range(const double* position, double radius, std::vector<uint32_t>& out) const;

    // Per-axis minimum and maximum of every inserted position; empty before the first insert.
    const std::vector<double>& boxMin() const { return boxMin_; }
    const std::vector<double>& boxMax() const { return boxMax_; }

    void clear();

private:
    static constexpr uint32_t kNone = UINT32_MAX;

    unsigned dim_;
    // Node i: position at positions_[i * dim_], split axis, caller's index, children.
    std::vector<double> positions_;
    std::vector<unsigned> axes_;
    std::vector<uint32_t> indices_;
    std::vector<uint32_t> left_, right_;
    std::vector<double> boxMin_, boxMax_;
};

}  // namespace cluster
