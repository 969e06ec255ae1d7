#pragma once
// The writers' steps throw with a message on failure; their public functions
// report it as false with the message.

#include <exception>
#include <string>

namespace survey {

// Runs steps; false, with the message of what they threw in error, when they throw.
template <class Steps>
bool reported(Steps&& steps, std::string& error) {
    try {
        steps();
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    return true;
}

}  // namespace survey
