#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace velk {

/// Receives SIGINT and SIGTERM on a thread of its own, so the handler may do anything
/// (a signal handler could only set a flag). Construct it before any other thread
/// starts: it blocks both signals in the calling thread, and every thread started later
/// inherits that mask, so no other thread is interrupted by them.
class SignalWatcher {
public:
    /// `onSignal` runs on the watcher's thread with the signal's number.
    explicit SignalWatcher(std::function<void(int)> onSignal);
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;
    ~SignalWatcher();

private:
    std::function<void(int)> onSignal_;
    std::atomic<bool> stopping_ = false;
    std::thread thread_;
};

} // namespace velk
