#pragma once
// Typed callbacks: a Var function whose first argument must hold exactly a T
// ("Unable cast X to Y" otherwise, and the callback is not called); it hands
// that value to a native callback taking const T& and returns Undefined.

#include "dv/var.h"

#include <functional>
#include <utility>

namespace fw {

// An empty callback throws std::bad_function_call when called.
template <typename T>
dv::VarFunction typedCallback(std::function<void(const T&)> callback) {
    return dv::VarFunction(std::move(callback));
}

// A member function bound to its object; what it returns is dropped.
template <typename T, typename C, typename R>
dv::VarFunction typedCallback(R (C::*method)(const T&), C* object) {
    std::function<void(const T&)> callback;
    if (method && object) callback = [method, object](const T& value) { (object->*method)(value); };
    return typedCallback<T>(std::move(callback));
}

}  // namespace fw
