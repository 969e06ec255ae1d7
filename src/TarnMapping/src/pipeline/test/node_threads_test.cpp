// Producers on several threads publish into the node tree while a reader polls the root.
#include "zel/node.h"
#include "zel/tileset.h"
#include "zel/wall_clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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
            t->state = 10;
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
