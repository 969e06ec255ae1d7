#pragma once
// The mapping job as main sees it.

#include "zel/output_item.h"
#include "zel/progress_node.h"
#include "zel/states.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The caller's copy of the job's status, written only by TarnMapper::update.
struct MapperStatus {
    zel::JobState state = zel::JobState::NotReported;  // so the first poll reports
    ProgressNode progress{"Mapping", -1.0, 1.0, 1.0f, 0.0};
    std::vector<std::shared_ptr<zel::OutputItem>> outputs;  // own clones
};

class TarnMapper {
public:
    virtual ~TarnMapper() = default;
    // Builds the chain and starts the run thread (nothing for a failed job).
    virtual void start() = 0;
    // Copies what changed into status; whether anything was copied.
    virtual bool update(MapperStatus& status) = 0;
    // Hands a frame record text to a live dataset; false for a file dataset
    // and for a record the live dataset refuses.
    bool feedFrame(const std::string& text) {
        std::string refusal;
        return feedFrame(text, refusal);
    }
    // The same; a refused record's reason in refusal (a file dataset leaves
    // it untouched).
    virtual bool feedFrame(const std::string& text, std::string& refusal) = 0;
};

// A job from the compact job configuration; a job that cannot run is in state -14.
std::shared_ptr<TarnMapper> createTarnMapper(const std::string& jobText);
