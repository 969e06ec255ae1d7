#pragma once
// Root of the framework's polymorphic objects: frames, maps, projections,
// tiles, tile managers and fusion back ends.

#include <string>

namespace fw {

class GObject {
public:
    virtual ~GObject();
    // Name of the concrete class.
    virtual std::string type() const;
    // Named command with an untyped argument; unknown commands do nothing.
    virtual void call(const std::string& command, void* arg);
    // Reserved hooks: nothing, false, false.
    virtual void hookA();
    virtual bool hookB();
    virtual bool hookC();
};

}  // namespace fw
