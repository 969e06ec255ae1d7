#pragma once
// A gate that threads wait on until the test opens it (once).

#include <future>

namespace testsupport {

class Gate {
public:
    void open() { promise_.set_value(); }
    void wait() const { future_.wait(); }

private:
    std::promise<void> promise_;
    std::shared_future<void> future_ = promise_.get_future().share();
};

}  // namespace testsupport
