#pragma once
// Names of the events that the front end reports to its owner chain.

namespace zel::events {

inline constexpr char kFrameLocated[] = "frame_located";  // a located fw::MapFrame
inline constexpr char kMapLocated[] = "map_located";      // the whole fw::Map

}  // namespace zel::events
