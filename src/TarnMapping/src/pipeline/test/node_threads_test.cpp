// Producers on several threads publish into the node tree while a reader polls the root.
#include "zel/node.h"
#include "zel/tileset.h"
#include "zel/wall_clock.h"

#include "fw/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace zel;

TEST(NodeThreads, ConcurrentProducersAndReader) {
    Chain root("Mapper", nullptr);
    root.setProgressRecord(mappingStages());
    Chain handler("Handler", &root);
    handler.setProgressRecord(ProgressNode("Map Fusion", 0.0, 400.0, 1.0f, -1.0));
    Node dom("dom", &handler), dsm("dsm", &handler);

    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            (void)root.progress();
            for (const auto& item : root.outputs()) ASSERT_FALSE(item->name.empty());
        }
    });
    auto produce = [&](Node& node, const char* kind, const char* name) {
        for (int i = 0; i < 200; ++i) {
            auto t = std::make_shared<TfTileset>(kind);
            t->name = name;
            t->state = ItemState::Updating;
            t->time = wallClockSeconds();
            t->zoomRange = {i, 0};
            node.setOutput(t);
        }
    };
    std::thread a(produce, std::ref(dom), "dom", "dom_01");
    std::thread b(produce, std::ref(dsm), "dsm", "dsm_01");
    std::thread c([&] {
        for (int i = 1; i <= 400; ++i) handler.setProgress(i, -1.0);
    });
    a.join();
    b.join();
    c.join();
    done.store(true);
    reader.join();

    auto top = root.outputs();
    ASSERT_EQ(top.size(), 2u);
    for (const auto& item : top) EXPECT_EQ(dynamic_cast<Tileset&>(*item).zoomRange[0], 199);
    EXPECT_NEAR(root.progress().value, 0.3, 1e-6);
}

// Children report from pool threads while their parent is destroyed: every
// report either reaches the parent or, once it has gone, nobody.
TEST(NodeThreads, ChildrenReportWhileTheirParentIsDestroyed) {
    constexpr int kChildren = 4;
    fw::detail::ThreadPool pool(kChildren);
    for (int round = 0; round < 20; ++round) {
        Chain root("Mapper", nullptr);
        root.setProgressRecord(ProgressNode("Mapping", 0.0, 1.0, 1.0f, -1.0, {ProgressNode("Handler", 0.0, 1.0, 1.0f, -1.0)}));
        auto parent = std::make_unique<Chain>("Handler", &root);
        std::vector<ProgressNode> stages;
        for (int c = 0; c < kChildren; ++c) stages.emplace_back("w" + std::to_string(c), 0.0, 1.0, 0.25f, -1.0);
        parent->setProgressRecord(ProgressNode("Handler", 0.0, 1.0, 1.0f, -1.0, stages));
        std::vector<std::unique_ptr<Node>> children;
        for (int c = 0; c < kChildren; ++c) {
            children.push_back(std::make_unique<Node>("w" + std::to_string(c), parent.get()));
            children.back()->setProgressRecord(ProgressNode("w" + std::to_string(c), 0.0, 1000.0, 1.0f, -1.0));
            parent->addChild(children.back().get());
        }

        std::mutex mutex;
        std::condition_variable cv;
        int reporting = 0;
        std::atomic<bool> done{false};
        std::vector<std::future<int>> reports;
        for (int c = 0; c < kChildren; ++c) {
            reports.push_back(pool.Add([&, c] {
                Node& node = *children[static_cast<size_t>(c)];
                int i = 0;
                for (; !done.load() || i < 10; ++i) {
                    auto t = std::make_shared<Tileset3D>();
                    t->name = "cloud_" + std::to_string(c);
                    t->state = ItemState::Updating;
                    t->time = static_cast<double>(i + 1);
                    node.setOutput(t);
                    node.setProgress(i, -1.0);
                    if (i == 0) {
                        std::lock_guard<std::mutex> lock(mutex);
                        ++reporting;
                        cv.notify_all();
                    }
                }
                return i;
            }));
        }
        {
            std::unique_lock<std::mutex> lock(mutex);
            cv.wait(lock, [&] { return reporting == kChildren; });
        }
        parent.reset();  // while the children go on reporting
        for (const auto& child : children) EXPECT_FALSE(child->hasParent());
        done.store(true);
        for (auto& r : reports) EXPECT_GE(r.get(), 10);

        // Each child kept its own item; the root kept what climbed before the end.
        for (const auto& child : children) EXPECT_EQ(child->outputs().size(), 1u);
        const auto top = root.outputs();
        EXPECT_GE(top.size(), 1u);
        EXPECT_LE(top.size(), static_cast<size_t>(kChildren));
    }
}

// A chain stops its children while they are being destroyed on other threads.
TEST(NodeThreads, StopAllWhileChildrenGo) {
    fw::detail::ThreadPool pool(4);
    for (int round = 0; round < 50; ++round) {
        Chain chain("Mapper", nullptr);
        std::vector<std::unique_ptr<Node>> children;
        for (int c = 0; c < 4; ++c) {
            children.push_back(std::make_unique<Node>("c", &chain));
            chain.addChild(children.back().get());
        }
        std::vector<std::future<void>> gone;
        for (auto& child : children) gone.push_back(pool.Add([&child] { child.reset(); }));
        chain.stopAll();
        for (auto& g : gone) g.get();
        EXPECT_EQ(chain.childCount(), 0u);
        EXPECT_TRUE(chain.stopped());
    }
}
