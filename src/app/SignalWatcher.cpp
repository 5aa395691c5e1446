#include "app/SignalWatcher.h"

#include <pthread.h>
#include <signal.h>

namespace velk {

namespace {
sigset_t watchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
} // namespace

SignalWatcher::SignalWatcher(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
    const sigset_t set = watchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    thread_ = std::thread([this, set] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0)
                continue;
            if (stopping_)
                return;
            onSignal_(signal);
        }
    });
}

SignalWatcher::~SignalWatcher() {
    stopping_ = true;
    // Aimed at the watcher's thread alone: the signal stays blocked everywhere, so it only
    // wakes the sigwait, which sees the flag and returns.
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
}

} // namespace velk
