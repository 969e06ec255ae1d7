#pragma once
// States of the mapping job and of output items, and the kinds of items.
// Their integers are what the status line prints; they are turned into
// integers only there (code()).

#include <cstdint>

namespace zel {

enum class JobState : int32_t {
    Unset = -1,        // a node that keeps no job state
    Running = 4,       // the run thread is feeding frames
    Done = 12,         // all frames fed, front and back end ended
    Stopped = 13,      // finished after a stop request
    Failed = -14,      // refused or failed; nothing runs
    Ready = 100,       // constructed and ready
    NotReported = 101  // a caller's status before its first copy; no job has it
};

enum class ItemState : int32_t {
    New = -1,       // not yet produced
    Updating = 10,  // its producer is updating it
    Finished = 12   // its producer has ended
};

enum class ItemType : int32_t {
    Unknown = -1,
    Tileset = 111,   // 2-D web-map tile set
    Tileset3D = 112  // point-cloud tile set
};

constexpr int32_t code(JobState s) { return static_cast<int32_t>(s); }
constexpr int32_t code(ItemState s) { return static_cast<int32_t>(s); }
constexpr int32_t code(ItemType t) { return static_cast<int32_t>(t); }

// Done, Stopped and Failed end the main loop.
constexpr bool isFinal(JobState s) { return s == JobState::Done || s == JobState::Stopped || s == JobState::Failed; }

}  // namespace zel
