#pragma once
// Factory of the dense back end "legacy_pf", defined by the back end's library.

#include <memory>
#include <string>

namespace fw {
class MapFusion;
}
namespace zel {
class Chain;
}

// config: the chain item's "config" as compact JSON; owner: the chain its
// nodes report to; messenger and logSinks: the host's fw::Messenger* and
// std::shared_ptr<fw::LogSinkSet>*, adopted when both are given. The pointer
// is empty only when the back end cannot be made.
std::shared_ptr<fw::MapFusion> createPointsFusionInstance(const std::string& config, zel::Chain* owner, void* messenger,
                                                          void* logSinks);
