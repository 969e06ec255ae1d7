// Output items and progress climbing the node tree.
#include "zel/node.h"
#include "zel/tileset.h"
#include "zel/wall_clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

using namespace zel;

namespace {

std::shared_ptr<Tileset> item(const std::string& name, double time, ItemState state = ItemState::Updating) {
    auto t = std::make_shared<TfTileset>("dom");
    t->name = name;
    t->time = time;
    t->state = state;
    return t;
}

struct Tree {
    Chain root{"Mapper", nullptr};
    Chain middle{"Handler", &root};
    Node leaf{"Writer", &middle};
};

}  // namespace

TEST(NodeOutputs, NewNameIsClonedIntoEveryLevel) {
    Tree tree;
    auto produced = item("dom_01", 10.0);
    EXPECT_TRUE(tree.leaf.setOutput(produced));
    for (Node* n : {static_cast<Node*>(&tree.leaf), static_cast<Node*>(&tree.middle), static_cast<Node*>(&tree.root)}) {
        auto list = n->outputs();
        ASSERT_EQ(list.size(), 1u) << n->name();
        EXPECT_EQ(list[0]->name, "dom_01");
        EXPECT_NE(list[0].get(), produced.get());
        EXPECT_EQ(list[0]->time, 10.0);
    }
    // A change to the producer's object reaches nobody until published.
    produced->time = 11.0;
    EXPECT_EQ(tree.root.outputs()[0]->time, 10.0);
}

TEST(NodeOutputs, OnlyStrictlyNewerItemsReplaceAndClimb) {
    Tree tree;
    tree.leaf.setOutput(item("dom_01", 10.0));
    // Same time and older time: ignored, nothing climbs.
    auto same = item("dom_01", 10.0, ItemState::Finished);
    EXPECT_TRUE(tree.leaf.setOutput(same));
    EXPECT_TRUE(tree.leaf.setOutput(item("dom_01", 9.0, ItemState::Finished)));
    EXPECT_EQ(tree.leaf.outputs()[0]->state, ItemState::Updating);
    EXPECT_EQ(tree.root.outputs()[0]->state, ItemState::Updating);
    // Newer: assigned in place at every level.
    auto newer = item("dom_01", 10.001, ItemState::Finished);
    newer->location = "/tiles";
    tree.leaf.setOutput(newer);
    auto top = tree.root.outputs();
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(top[0]->state, ItemState::Finished);
    EXPECT_EQ(dynamic_cast<Tileset&>(*top[0]).location, "/tiles");
}

TEST(NodeOutputs, ListsKeepFirstAppearanceOrderAndParentGetsWholeList) {
    Tree tree;
    tree.leaf.setOutput(item("dsm_01", 1.0));
    tree.leaf.setOutput(item("dom_01", 1.0));
    tree.leaf.setOutput(item("dsm_01", 2.0));
    auto top = tree.root.outputs();
    ASSERT_EQ(top.size(), 2u);
    EXPECT_EQ(top[0]->name, "dsm_01");
    EXPECT_EQ(top[0]->time, 2.0);
    EXPECT_EQ(top[1]->name, "dom_01");
    // A sibling's items merge beside them.
    Node sibling("Cloud", &tree.middle);
    auto cloud = std::make_shared<Tileset3D>();
    cloud->name = "pointcloud_01";
    cloud->time = 1.0;
    sibling.setOutput(cloud);
    EXPECT_EQ(tree.root.outputs().size(), 3u);
}

TEST(NodeOutputs, SetOutputsReportsWhetherAnythingChanged) {
    Node root("Mapper", nullptr);
    EXPECT_TRUE(root.setOutputs({item("a", 1.0), item("b", 1.0)}));
    EXPECT_FALSE(root.setOutputs({item("a", 1.0), item("b", 0.5)}));
    EXPECT_TRUE(root.setOutputs({item("a", 1.0), item("b", 1.5)}));
    EXPECT_FALSE(root.setOutputs({}));
    EXPECT_TRUE(root.setOutput(item("a", 0.0)));  // true in every case
}

namespace {

// An item that notes its name and state when it is destroyed; its clones
// note theirs too, so the items a node stores can be watched as it ends.
struct NotedItem : OutputItem {
    using Notes = std::vector<std::pair<std::string, ItemState>>;
    std::shared_ptr<Notes> notes;
    NotedItem(std::string itemName, ItemState itemState, std::shared_ptr<Notes> to) : notes(std::move(to)) {
        name = std::move(itemName);
        state = itemState;
        time = 1.0;
    }
    NotedItem(const NotedItem&) = default;
    ~NotedItem() override { notes->emplace_back(name, state); }
    std::shared_ptr<OutputItem> clone() override { return std::make_shared<NotedItem>(*this); }
};

}  // namespace

TEST(NodeOutputs, DestructionFinishesOnlyItsOwnUpdatingItems) {
    auto notes = std::make_shared<NotedItem::Notes>();
    Node root("Mapper", nullptr);
    {
        Node leaf("Writer", &root);
        leaf.setOutput(std::make_shared<NotedItem>("dom_01", ItemState::Updating, notes));
        leaf.setOutput(std::make_shared<NotedItem>("dsm_01", ItemState::New, notes));
        notes->clear();  // from here on, only what the leaf's end destroys
    }
    // The leaf's own items, as it destroyed them: Updating turned Finished.
    ASSERT_EQ(notes->size(), 2u);
    EXPECT_EQ((*notes)[0], std::make_pair(std::string("dom_01"), ItemState::Finished));
    EXPECT_EQ((*notes)[1], std::make_pair(std::string("dsm_01"), ItemState::New));
    auto top = root.outputs();
    ASSERT_EQ(top.size(), 2u);
    EXPECT_EQ(top[0]->state, ItemState::Updating);  // the root's clones keep their state
    EXPECT_EQ(top[1]->state, ItemState::New);
}

TEST(NodeOutputs, FinishOutputsStampsOnlyUpdatingItems) {
    Node p("Writer", nullptr);
    p.setOutput(item("dom_01", 1.0, ItemState::Updating));
    p.setOutput(item("dsm_01", 1.0, ItemState::New));
    EXPECT_TRUE(p.finishOutputs());
    auto list = p.outputs();
    EXPECT_EQ(list[0]->state, ItemState::Finished);
    EXPECT_GT(list[0]->time, 1.0);
    EXPECT_EQ(list[1]->state, ItemState::New);
    EXPECT_EQ(list[1]->time, 1.0);
    EXPECT_FALSE(p.finishOutputs());  // nothing is still updating
}

TEST(NodeLinks, ChildOutlivingItsParentReportsToNobody) {
    auto parent = std::make_unique<Chain>("Handler", nullptr);
    parent->setProgressRecord(ProgressNode("Handler", 0.0, 1.0, 1.0f, -1.0, {ProgressNode("W", 0.0, 1.0, 1.0f, -1.0)}));
    Node child("Writer", parent.get());
    child.setProgressRecord(ProgressNode("W", 0.0, 4.0, 1.0f, -1.0));
    parent->addChild(&child);
    EXPECT_TRUE(child.hasParent());
    EXPECT_EQ(parent->childCount(), 1u);
    parent.reset();
    EXPECT_FALSE(child.hasParent());
    // Nothing is written through the gone parent (AddressSanitizer would see it).
    EXPECT_TRUE(child.setOutput(item("dom_01", 5.0)));
    EXPECT_TRUE(child.setProgress(2.0, -1.0));
    EXPECT_EQ(child.outputs().size(), 1u);
}

TEST(NodeLinks, DestroyedChildLeavesItsChain) {
    struct Recorder : Node {
        Recorder(std::vector<std::string>& log, const std::string& name, Node* parent) : Node(name, parent), log_(log) {}
        ~Recorder() override { detach(); }
        void stop() override {
            log_.push_back(name());
            Node::stop();
        }
        std::vector<std::string>& log_;
    };
    std::vector<std::string> log;
    Chain chain("C", nullptr);
    Recorder kept(log, "kept", &chain);
    chain.addChild(&kept);
    {
        Recorder gone(log, "gone", &chain);
        chain.addChild(&gone);
        EXPECT_EQ(chain.childCount(), 2u);
    }
    EXPECT_EQ(chain.childCount(), 1u);
    chain.stopAll();
    EXPECT_EQ(log, (std::vector<std::string>{"kept"}));
}

TEST(NodeProgress, UnnamedRecordRefusesAndNamedStoresValue) {
    Node n("Writer", nullptr);
    EXPECT_FALSE(n.setProgress(1.0, 2.0));
    EXPECT_EQ(n.progress().value, -1.0);
    EXPECT_EQ(n.progress().time, -1.0);
    n.setProgressRecord(ProgressNode("Map Fusion", 0.0, 10.0, 1.0f, -1.0));
    EXPECT_TRUE(n.setProgress(5.0, -1.0));
    EXPECT_EQ(n.progress().value, 5.0);
    EXPECT_EQ(n.progress().total, 10.0);
    EXPECT_GT(n.progress().time, 1.6e9);
    EXPECT_TRUE(n.setProgress(6.0, 0.0));
    EXPECT_EQ(n.progress().total, 10.0);
    EXPECT_TRUE(n.setProgress(6.0, 20.0));
    EXPECT_EQ(n.progress().total, 20.0);
}

TEST(NodeProgress, WeightedStagesOfTheMappingTable) {
    Chain job("Mapper", nullptr);
    job.setProgressRecord(mappingStages());
    Node locate("Locate", &job);
    locate.setProgressRecord(ProgressNode("Locate", -1.0, 1.0, 1.0f, -1.0));
    Node fusion("Map Fusion", &job);
    fusion.setProgressRecord(ProgressNode("Map Fusion", 0.0, 10.0, 1.0f, -1.0));

    locate.setProgress(5.0, 10.0);
    ProgressNode p = job.progress();
    EXPECT_NEAR(p.value, 0.35, 1e-6);  // weights are floats
    EXPECT_EQ(p.total, 1.0);
    EXPECT_EQ(p.children[0].value, 5.0);
    EXPECT_EQ(p.children[0].total, 10.0);
    EXPECT_FLOAT_EQ(p.children[0].weight, 0.7f);

    fusion.setProgress(5.0, -1.0);
    locate.setProgress(10.0, -1.0);
    EXPECT_NEAR(job.progress().value, 0.7 + 0.15, 1e-6);
    fusion.setProgress(10.0, -1.0);
    EXPECT_EQ(job.progress().value, 1.0);  // exactly: complete stages give their weights' sum
}

TEST(NodeProgress, StoredNegativeChildValueCountsAsZero) {
    Node parent("P", nullptr);
    parent.setProgressRecord(ProgressNode("P", 0.0, 1.0, 1.0f, -1.0,
                                          {ProgressNode("A", -1.0, 4.0, 0.5f, -1.0), ProgressNode("B", 0.0, 1.0, 0.5f, -1.0)}));
    ProgressNode child("A", 2.0, 4.0, 1.0f, 7.0);
    EXPECT_TRUE(parent.updateChildProgress(child));
    ProgressNode p = parent.progress();
    EXPECT_DOUBLE_EQ(p.value, 0.25);
    EXPECT_EQ(p.children[0].time, 7.0);
    EXPECT_FLOAT_EQ(p.children[0].weight, 0.5f);  // the entry keeps its own weight
}

TEST(NodeProgress, SingleChildIsTakenVerbatim) {
    Chain root("Mapper", nullptr);
    root.setProgressRecord(ProgressNode("Mapping", 0.0, 1.0, 1.0f, -1.0, {ProgressNode("Map Fusion", 0.0, -1.0, 0.3f, -1.0)}));
    Node handler("Handler", &root);
    handler.setProgressRecord(ProgressNode("Map Fusion", 0.0, 8.0, 1.0f, -1.0));
    handler.setProgress(3.0, -1.0);
    EXPECT_EQ(root.progress().value, 3.0);
    EXPECT_EQ(root.progress().total, 8.0);
}

TEST(NodeProgress, UnknownChildNameChangesNothingAndStops) {
    Chain root("Mapper", nullptr);
    root.setProgressRecord(mappingStages());
    Node middle("M", &root);
    middle.setProgressRecord(ProgressNode("Locate", 0.0, 1.0, 1.0f, -1.0, {ProgressNode("X", 0.0, 1.0, 1.0f, -1.0)}));
    EXPECT_FALSE(middle.updateChildProgress(ProgressNode("Y", 1.0, 1.0, 1.0f, 1.0)));
    EXPECT_EQ(root.progress().time, -1.0);
    EXPECT_EQ(middle.progress().time, -1.0);
}

TEST(NodeProgress, ZeroTotalDoesNotPoisonTheRecord) {
    Node parent("P", nullptr);
    parent.setProgressRecord(mappingStages());
    EXPECT_TRUE(parent.updateChildProgress(ProgressNode("Locate", 3.0, 0.0, 1.0f, 1.0)));
    EXPECT_EQ(parent.progress().value, 0.0);
}

TEST(NodeProgress, TimesAreStrictlyIncreasing) {
    Node n("Writer", nullptr);
    n.setProgressRecord(ProgressNode("W", 0.0, 1.0, 1.0f, -1.0));
    double last = -1.0;
    for (int i = 0; i < 200; ++i) {
        n.setProgress(i, -1.0);
        const double t = n.progress().time;
        ASSERT_GT(t, last);
        // whole milliseconds
        EXPECT_NEAR(t * 1000.0, std::round(t * 1000.0), 1e-3);
        last = t;
    }
    EXPECT_GT(wallClockSeconds(), last);
}

TEST(ChainStop, StopAllStopsChildrenThenItself) {
    struct Recorder : Node {
        Recorder(std::vector<std::string>& log, const std::string& name) : Node(name, nullptr), log_(log) {}
        void stop() override {
            log_.push_back(name());
            Node::stop();
        }
        std::vector<std::string>& log_;
    };
    std::vector<std::string> log;
    Chain chain("C", nullptr);
    Recorder a(log, "a"), b(log, "b");
    chain.addChild(&a);
    chain.addChild(&b);
    EXPECT_FALSE(chain.stopped());
    chain.stopAll();
    EXPECT_EQ(log, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(a.stopped());
    EXPECT_TRUE(chain.stopped());
    chain.handle("frame_located", nullptr);  // the default does nothing
}
