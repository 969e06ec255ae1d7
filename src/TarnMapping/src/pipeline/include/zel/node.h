#pragma once
// Processing nodes: output items and progress climb from each node to its
// parent, each node under its own mutexes, so no thread ever holds the
// mutexes of two nodes at once.

#include "zel/output_item.h"
#include "zel/progress_node.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fw {
class GObject;
}

namespace zel {

class Node {
public:
    Node(std::string name, Node* parent);
    // Items of this node still being updated (state 10) become finished (12).
    virtual ~Node();
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    virtual void stop();

    // Merges one item (a clone when its name is new, an in-place assign when
    // it is strictly newer) and hands the whole list to the parent. True.
    bool setOutput(std::shared_ptr<OutputItem> item);
    // Merges every item, then climbs once; whether anything changed.
    bool setOutputs(std::vector<std::shared_ptr<OutputItem>> items);
    // False when the record has no name; a total of 0 or below keeps the old one.
    bool setProgress(double value, double total);
    // Updates the child stage of that name and recomputes this node's value.
    bool updateChildProgress(const ProgressNode& child);

    const std::string& name() const { return name_; }
    Node* parent() const { return parent_; }
    bool stopped() const { return stopped_.load(); }
    int32_t state() const { return state_.load(); }

    ProgressNode progress() const;
    void setProgressRecord(const ProgressNode& record);
    // Clones of the node's items, in list order.
    std::vector<std::shared_ptr<OutputItem>> outputs() const;

protected:
    void setNodeState(int32_t state) { state_.store(state); }

    const std::string name_;
    Node* const parent_;
    std::atomic<bool> stopped_{false};
    ProgressNode progress_;
    std::atomic<int32_t> state_{-1};
    mutable std::mutex outputMutex_;    // guards outputs_
    mutable std::mutex progressMutex_;  // guards progress_
    std::vector<std::shared_ptr<OutputItem>> outputs_;

private:
    // Merges under outputMutex_; true when something changed.
    bool mergeLocked(const std::shared_ptr<OutputItem>& item);
    void climbOutputs(std::unique_lock<std::mutex>& lock);
};

// A node with children (not owned) and the event entry of the front end.
class Chain : public Node {
public:
    Chain(std::string name, Node* parent);
    ~Chain() override;

    // Events reported by the components below ("frame_located", "map_located").
    virtual void handle(const std::string& name, std::shared_ptr<fw::GObject> data);
    // Stops every child in order, then this node.
    virtual void stopAll();

    void addChild(Node* child);
    std::vector<Node*> children() const;

protected:
    mutable std::mutex childrenMutex_;
    std::vector<Node*> children_;
};

}  // namespace zel
