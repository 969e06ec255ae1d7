#include "cluster/kd_tree.h"

#include <cmath>
#include <new>

namespace cluster {

KdTree::KdTree(unsigned dim) : dim_(dim) {}

void KdTree::clear() {
    positions_.clear();
    axes_.clear();
    indices_.clear();
    left_.clear();
    right_.clear();
    boxMin_.clear();
    boxMax_.clear();
}

int KdTree::insert(const double* position, uint32_t index) {
    if (dim_ == 0 || axes_.size() >= kNone) return -1;
    const uint32_t node = uint32_t(axes_.size());
    try {
        unsigned axis = 0;
        uint32_t parent = kNone;
        bool goLeft = false;
        // Left when the node's coordinate is greater, else right.
        for (uint32_t at = node > 0 ? 0 : kNone; at != kNone;) {
            const unsigned a = axes_[at];
            parent = at;
            goLeft = positions_[size_t(at) * dim_ + a] > position[a];
            axis = (a + 1) % dim_;
            at = goLeft ? left_[at] : right_[at];
        }
        positions_.insert(positions_.end(), position, position + dim_);
        axes_.push_back(axis);
        indices_.push_back(index);
        left_.push_back(kNone);
        right_.push_back(kNone);
        if (parent != kNone) (goLeft ? left_[parent] : right_[parent]) = node;
        if (boxMin_.empty()) {
            boxMin_.assign(position, position + dim_);
            boxMax_.assign(position, position + dim_);
        } else {
            for (unsigned a = 0; a < dim_; ++a) {
                if (position[a] < boxMin_[a]) boxMin_[a] = position[a];
                if (position[a] > boxMax_[a]) boxMax_[a] = position[a];
            }
        }
        return 0;
    } catch (const std::bad_alloc&) {
        // Back to the nodes before this insert.
        positions_.resize(size_t(node) * dim_);
        axes_.resize(node);
        indices_.resize(node);
        left_.resize(node);
        right_.resize(node);
        for (uint32_t& child : left_) if (child == node) child = kNone;
        for (uint32_t& child : right_) if (child == node) child = kNone;
        return -1;
    }
}

bool KdTree::range(const double* position, double radius, std::vector<uint32_t>& out) const {
    out.clear();
    if (axes_.empty()) return true;
    const double r2 = radius * radius;
    try {
        // Depth first with an explicit stack: trees built from sorted input are chains.
        std::vector<uint32_t> stack;
        std::vector<uint32_t> found;
        stack.push_back(0);
        while (!stack.empty()) {
            const uint32_t node = stack.back();
            stack.pop_back();
            const double* p = &positions_[size_t(node) * dim_];
            double d2 = 0.0;
            for (unsigned a = 0; a < dim_; ++a) {
                const double d = p[a] - position[a];
                d2 += d * d;
            }
            if (d2 <= r2) found.push_back(indices_[node]);
            const unsigned axis = axes_[node];
            const double d = position[axis] - p[axis];
            const uint32_t near = d <= 0 ? left_[node] : right_[node];
            const uint32_t far = d <= 0 ? right_[node] : left_[node];
            // The far side holds points at least |d| away along the axis; at
            // exactly the radius they still count.
            if (far != kNone && std::fabs(d) <= radius) stack.push_back(far);
            if (near != kNone) stack.push_back(near);  // searched first
        }
        out.assign(found.rbegin(), found.rend());
        return true;
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
}

}  // namespace cluster
