#include "zel/node.h"

#include "zel/wall_clock.h"

#include <condition_variable>
#include <utility>

namespace zel {

// How other nodes reach a node: the node while it is open, with a count of
// the calls in flight into it.
class NodeLink {
public:
    explicit NodeLink(Node* node) : node_(node) {}

    // The node, counted as called, or null once the link is closed.
    Node* enter() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!node_) return nullptr;
        ++calls_;
        return node_;
    }
    void leave() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--calls_ == 0) idle_.notify_all();
    }
    // No new call gets through; returns once the calls in flight have returned.
    void close() {
        std::unique_lock<std::mutex> lock(mutex_);
        node_ = nullptr;
        idle_.wait(lock, [this] { return calls_ == 0; });
    }
    bool open() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return node_ != nullptr;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    Node* node_;
    int calls_ = 0;
};

namespace {

// One call into the node behind a link; empty when the node has gone.
class Visit {
public:
    explicit Visit(std::shared_ptr<NodeLink> link)
        : link_(std::move(link)), node_(link_ ? link_->enter() : nullptr) {}
    ~Visit() {
        if (node_) link_->leave();
    }
    Visit(const Visit&) = delete;
    Visit& operator=(const Visit&) = delete;

    Node* operator->() const { return node_; }
    explicit operator bool() const { return node_ != nullptr; }

private:
    std::shared_ptr<NodeLink> link_;
    Node* node_;
};

// A total of 0 would turn the whole record into inf or NaN.
double fraction(double value, double total) { return total != 0.0 ? value / total : 0.0; }

}  // namespace

Node::Node(std::string name, Node* parent)
    : name_(std::move(name)), self_(std::make_shared<NodeLink>(this)), parent_(parent ? parent->self_ : nullptr) {}

Node::~Node() {
    detach();
    finishOutputs();
    std::lock_guard<std::mutex> lock(outputMutex_);
    outputs_.clear();
}

void Node::detach() {
    self_->close();
    std::lock_guard<std::mutex> lock(parentMutex_);
    parent_.reset();
}

bool Node::hasParent() const {
    std::shared_ptr<NodeLink> parent;
    {
        std::lock_guard<std::mutex> lock(parentMutex_);
        parent = parent_;
    }
    return parent && parent->open();
}

void Node::stop() { stopped_.store(true); }

bool Node::mergeLocked(const std::shared_ptr<OutputItem>& item) { return mergeItem(outputs_, item); }

void Node::climbOutputs(std::unique_lock<std::mutex>& lock) {
    // Clones, not the stored objects: this node goes on updating those in
    // place under its own mutex while the parent reads what it is handed.
    std::vector<std::shared_ptr<OutputItem>> copy;
    copy.reserve(outputs_.size());
    for (const auto& item : outputs_) copy.push_back(item->clone());
    lock.unlock();
    std::shared_ptr<NodeLink> link;
    {
        std::lock_guard<std::mutex> parentLock(parentMutex_);
        link = parent_;
    }
    Visit parent(std::move(link));
    if (parent) parent->setOutputs(std::move(copy));
}

void Node::climbProgress(const ProgressNode& record) {
    std::shared_ptr<NodeLink> link;
    {
        std::lock_guard<std::mutex> parentLock(parentMutex_);
        link = parent_;
    }
    Visit parent(std::move(link));
    if (parent) parent->updateChildProgress(record);
}

bool Node::setOutput(std::shared_ptr<OutputItem> item) {
    std::unique_lock<std::mutex> lock(outputMutex_);
    if (mergeLocked(item)) climbOutputs(lock);
    return true;
}

bool Node::keepOutput(std::shared_ptr<OutputItem> item) {
    std::lock_guard<std::mutex> lock(outputMutex_);
    return mergeLocked(item);
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
    climbProgress(copy);
    return true;
}

bool Node::updateChildProgress(const ProgressNode& child) {
    std::unique_lock<std::mutex> lock(progressMutex_);
    bool changed = false;
    for (auto& entry : progress_.children) {
        if (entry.name != child.name) continue;
        if (entry.value < 0.0) entry.value = 0.0;
        entry.time = child.time;
        entry.value = child.value;
        entry.total = child.total;
        entry.children = child.children;
        changed = true;
    }
    if (!changed) return false;
    if (progress_.children.size() == 1) {
        progress_.value = progress_.children.front().value;
        progress_.total = progress_.children.front().total;
    } else {
        // The weighted sum of the stages' fractions, taken afresh each time
        // (the same as adding each stage's weighted change): no rounding
        // accumulates, so complete stages give exactly their weights' sum.
        double value = 0.0;
        for (const auto& entry : progress_.children)
            value += static_cast<double>(entry.weight) * fraction(entry.value < 0.0 ? 0.0 : entry.value, entry.total);
        progress_.value = value;
        progress_.total = 1.0;
    }
    progress_.time = wallClockSeconds();
    const ProgressNode copy = progress_;
    lock.unlock();
    climbProgress(copy);
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

bool Node::finishOutputs(const std::function<bool(const OutputItem&)>& accept) {
    std::lock_guard<std::mutex> lock(outputMutex_);
    bool any = false;
    for (auto& item : outputs_) {
        if (!item || item->state != ItemState::Updating) continue;
        if (accept && !accept(*item)) continue;
        item->state = ItemState::Finished;
        item->time = wallClockSeconds();
        any = true;
    }
    return any;
}

Chain::Chain(std::string name, Node* parent) : Node(std::move(name), parent) {}

Chain::~Chain() = default;

void Chain::handle(const std::string&, std::shared_ptr<fw::GObject>) {}

void Chain::stopAll() {
    std::vector<std::shared_ptr<NodeLink>> links;
    {
        std::lock_guard<std::mutex> lock(childrenMutex_);
        links = children_;
    }
    for (auto& link : links) {
        Visit child(link);
        if (child) child->stop();
    }
    stop();
}

void Chain::addChild(Node* child) {
    if (!child) return;
    std::lock_guard<std::mutex> lock(childrenMutex_);
    children_.push_back(child->self_);
}

size_t Chain::childCount() const {
    std::lock_guard<std::mutex> lock(childrenMutex_);
    size_t n = 0;
    for (const auto& link : children_)
        if (link->open()) ++n;
    return n;
}

}  // namespace zel
