#include "fw/gobject.h"

namespace fw {

GObject::~GObject() = default;
std::string GObject::type() const { return "GObject"; }
void GObject::call(const std::string&, void*) {}
void GObject::hookA() {}
bool GObject::hookB() { return false; }
bool GObject::hookC() { return false; }

}  // namespace fw
