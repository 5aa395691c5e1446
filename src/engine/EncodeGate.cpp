#include "engine/EncodeGate.h"

#include <chrono>

namespace velk {

EncodeGate& EncodeGate::inProcessEncodes() {
    static EncodeGate gate;
    return gate;
}

void EncodeGate::enter(const EngineControl& control) {
    using namespace std::chrono_literals;
    std::unique_lock lock(mutex_);
    // The control has no way to wake a waiter, so a stop is seen within a poll.
    while (held_) {
        lock.unlock();
        control.checkpoint();
        lock.lock();
        left_.wait_for(lock, 50ms, [this] { return !held_; });
    }
    control.checkpoint();
    held_ = true;
}

void EncodeGate::leave() {
    {
        std::scoped_lock lock(mutex_);
        held_ = false;
    }
    left_.notify_one();
}

} // namespace velk
