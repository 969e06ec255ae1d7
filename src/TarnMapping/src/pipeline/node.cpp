#include "zel/node.h"

#include "zel/wall_clock.h"

#include <utility>

namespace zel {
namespace {

// A total of 0 would turn the whole record into inf or NaN.
double fraction(double value, double total) { return total != 0.0 ? value / total : 0.0; }

}  // namespace

Node::Node(std::string name, Node* parent) : name_(std::move(name)), parent_(parent) {}

Node::~Node() {
    std::lock_guard<std::mutex> lock(outputMutex_);
    for (auto& item : outputs_)
        if (item && item->state == 10) item->state = 12;
    outputs_.clear();
}

void Node::stop() { stopped_.store(true); }

bool Node::mergeLocked(const std::shared_ptr<OutputItem>& item) {
    if (!item) return false;
    for (auto& stored : outputs_) {
        if (stored->name != item->name) continue;
        if (item->time > stored->time) {
            stored->assign(item);
            return true;
        }
        return false;
    }
    outputs_.push_back(item->clone());
    return true;
}

void Node::climbOutputs(std::unique_lock<std::mutex>& lock) {
    if (!parent_) return;
    // Clones, not the stored objects: this node goes on updating those in
    // place under its own mutex while the parent reads what it is handed.
    std::vector<std::shared_ptr<OutputItem>> copy;
    copy.reserve(outputs_.size());
    for (const auto& item : outputs_) copy.push_back(item->clone());
    lock.unlock();
    parent_->setOutputs(std::move(copy));
}

bool Node::setOutput(std::shared_ptr<OutputItem> item) {
    std::unique_lock<std::mutex> lock(outputMutex_);
    if (mergeLocked(item)) climbOutputs(lock);
    return true;
}

bool Node::setOutputs(std::vector<std::shared_ptr<OutputItem>> items) {
    std::unique_lock<std::mutex> lock(outputMutex_);
    bool changed = false;
    for (const auto& item : items) changed = mergeLocked(item) || changed;
    if (changed) climbOutputs(lock);
    return changed;
}

bool Node::setProgress(double value, double total) {
    std::unique_lock<std::mutex> lock(progressMutex_);
    if (progress_.name.empty()) return false;
    progress_.value = value;
    if (total > 0.0) progress_.total = total;
    progress_.time = wallClockSeconds();
    const ProgressNode copy = progress_;
    lock.unlock();
    if (parent_) parent_->updateChildProgress(copy);
    return true;
}

bool Node::updateChildProgress(const ProgressNode& child) {
    std::unique_lock<std::mutex> lock(progressMutex_);
    bool changed = false;
    for (auto& entry : progress_.children) {
        if (entry.name != child.name) continue;
        if (entry.value < 0.0) entry.value = 0.0;
        const double oldValue = entry.value;
        const double delta = fraction(child.value, child.total) - fraction(oldValue, entry.total);
        entry.time = child.time;
        entry.value = child.value;
        entry.total = child.total;
        entry.children = child.children;
        if (progress_.children.size() == 1) {
            progress_.value = child.value;
            progress_.total = child.total;
        } else {
            progress_.value += static_cast<double>(entry.weight) * delta;
            progress_.total = 1.0;
        }
        progress_.time = wallClockSeconds();
        changed = true;
    }
    if (!changed) return false;
    const ProgressNode copy = progress_;
    lock.unlock();
    if (parent_) parent_->updateChildProgress(copy);
    return true;
}

ProgressNode Node::progress() const {
    std::lock_guard<std::mutex> lock(progressMutex_);
    return progress_;
}

void Node::setProgressRecord(const ProgressNode& record) {
    std::lock_guard<std::mutex> lock(progressMutex_);
    progress_ = record;
}

std::vector<std::shared_ptr<OutputItem>> Node::outputs() const {
    std::lock_guard<std::mutex> lock(outputMutex_);
    std::vector<std::shared_ptr<OutputItem>> copies;
    copies.reserve(outputs_.size());
    for (const auto& item : outputs_) copies.push_back(item->clone());
    return copies;
}

Chain::Chain(std::string name, Node* parent) : Node(std::move(name), parent) {}

Chain::~Chain() = default;

void Chain::handle(const std::string&, std::shared_ptr<fw::GObject>) {}

void Chain::stopAll() {
    for (Node* child : children())
        if (child) child->stop();
    stop();
}

void Chain::addChild(Node* child) {
    std::lock_guard<std::mutex> lock(childrenMutex_);
    children_.push_back(child);
}

std::vector<Node*> Chain::children() const {
    std::lock_guard<std::mutex> lock(childrenMutex_);
    return children_;
}

}  // namespace zel
