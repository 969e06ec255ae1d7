#pragma once
// A front end run as the job runs it: its events recorded by a chain, the
// frames of a dataset tracked one by one.

#include "dataset/image_dataset.h"
#include "sfm/slam.h"
#include "zel/node.h"
#include "zel/progress_node.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace sfm_test {

class RecordingChain : public zel::Chain {
public:
    RecordingChain() : zel::Chain("Mapper", nullptr) { setProgressRecord(zel::mappingStages()); }
    void handle(const std::string& name, std::shared_ptr<fw::GObject> data) override { events.emplace_back(name, data); }
    std::vector<std::pair<std::string, std::shared_ptr<fw::GObject>>> events;
};

// Runs every frame of the dataset through a front end.
inline void track(fw::SLAM& frontEnd, ImageDataset& dataset, const std::function<void(size_t)>& afterEach = {}) {
    frontEnd.setFrameCount(dataset.frameCount());
    size_t n = 0;
    while (auto frame = dataset.nextFrame()) {
        frontEnd.trackFrame(frame);
        frame->setImage(fw::GImage(), 0, 0);
        if (afterEach) afterEach(n);
        ++n;
    }
    frontEnd.finish();
}

}  // namespace sfm_test
