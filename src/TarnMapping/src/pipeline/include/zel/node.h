#pragma once
// Processing nodes: output items and progress climb from each node to its
// parent.
//
// Threads: every public operation may be called from any thread. A node's
// items and progress are guarded by its own mutexes, and a mutex is always
// released before the parent is called, so no thread ever holds the mutexes
// of two nodes at once. A node reaches its parent (and a chain its children)
// through the other node's link: a call in flight is counted there, and a
// destroyed node first closes its link and waits for the calls in flight to
// return. So a child that reports after its parent has gone reports to
// nobody, and a chain never stops a child that has gone.

#include "zel/output_item.h"
#include "zel/progress_node.h"
#include "zel/states.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fw {
class GObject;
}

namespace zel {

class NodeLink;

class Node {
public:
    Node(std::string name, Node* parent);
    // Detaches the node (see detach), then items of this node still being
    // updated (state 10) become finished (12).
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
    // Whether the node still reports to a parent (false for a root and after
    // the parent has gone).
    bool hasParent() const;
    bool stopped() const { return stopped_.load(); }
    JobState state() const { return state_.load(); }

    ProgressNode progress() const;
    void setProgressRecord(const ProgressNode& record);
    // Clones of the node's items, in list order.
    std::vector<std::shared_ptr<OutputItem>> outputs() const;
    // Stamps every item of the node's own list that is still being updated
    // (state 10) as finished (12) at the present time; whether any was.
    // With a test, only the items it accepts are finished.
    bool finishOutputs(const std::function<bool(const OutputItem&)>& accept = {});

protected:
    void setNodeState(JobState state) { state_.store(state); }
    // Merges one item into the node's own list without handing it to the
    // parent (an item announced at construction); whether anything changed.
    bool keepOutput(std::shared_ptr<OutputItem> item);
    // Closes the node's link (children and chains no longer reach it), waits
    // for the calls in flight into it and lets its parent go. A class whose
    // own members serve those calls, or that overrides stop, calls it first
    // in its destructor; later calls do nothing.
    void detach();

private:
    friend class Chain;

    // Merges under outputMutex_; true when something changed.
    bool mergeLocked(const std::shared_ptr<OutputItem>& item);
    void climbOutputs(std::unique_lock<std::mutex>& lock);
    void climbProgress(const ProgressNode& record);

    const std::string name_;
    const std::shared_ptr<NodeLink> self_;  // how others reach this node
    mutable std::mutex parentMutex_;        // guards parent_
    std::shared_ptr<NodeLink> parent_;      // set at construction, dropped by detach
    std::atomic<bool> stopped_{false};
    std::atomic<JobState> state_{JobState::Unset};
    mutable std::mutex progressMutex_;  // guards progress_
    ProgressNode progress_;
    mutable std::mutex outputMutex_;  // guards outputs_
    std::vector<std::shared_ptr<OutputItem>> outputs_;
};

// A node with children (not owned) and the event entry of the front end.
class Chain : public Node {
public:
    Chain(std::string name, Node* parent);
    ~Chain() override;

    // Events reported by the components below ("frame_located", "map_located").
    virtual void handle(const std::string& name, std::shared_ptr<fw::GObject> data);
    // Stops every child still alive, in order, then this node.
    virtual void stopAll();

    void addChild(Node* child);
    // The children still alive, in order.
    size_t childCount() const;

private:
    mutable std::mutex childrenMutex_;  // guards children_
    std::vector<std::shared_ptr<NodeLink>> children_;
};

}  // namespace zel
