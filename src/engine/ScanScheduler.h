#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "engine/EngineControl.h"
#include "platform/FolderWatcher.h"
#include "platform/SerialQueue.h"

namespace velk {

/// When the engine scans: on the folder's change events where the kernel delivers them
/// (else by polling), each request debounced, and once more when a waiting file's
/// stability interval ends. Requests come from the watcher's thread, the queue's timers
/// and start(); every scan runs on the queue.
class ScanScheduler {
public:
    struct Timing {
        /// Polling where changes cannot be had as events; zero scans on request only.
        double pollingInterval = 0;
        double debounceInterval = 0;
        bool watchEvents = true;
        /// Makes the event watch; empty for the real one.
        std::function<std::unique_ptr<FolderWatcher>(const std::filesystem::path&,
                                                     FolderWatcher::Handler)>
            makeWatcher;
    };

    /// `scan` runs on `queue`, which must be destroyed before the scheduler: its timers
    /// hold the scheduler directly.
    ScanScheduler(SerialQueue& queue, const EngineControl& control, Timing timing,
                  std::function<void()> scan);

    /// Watches `folder` and asks for a first scan.
    void start(const std::filesystem::path& folder);
    /// After the engine's cancellation: no scan is scheduled any more, and the watcher's
    /// thread has been joined when it returns.
    void stop();
    /// A debounced scan (from the watcher, the polling timer or start).
    void requestScan();
    /// On the queue after each scan. With events, nothing else would scan again: a file
    /// waiting for its stability interval gets a scan when its wait ends, and a scan that
    /// processed files one more to see the folder settled.
    void afterScan(bool settled, std::size_t waitingFiles,
                   std::optional<double> secondsUntilFirstStable);

private:
    void watch(const std::filesystem::path& folder);
    void watcherSignalled(FolderWatcher::Signal signal);
    void startPolling();

    SerialQueue& queue_;
    const EngineControl& control_;
    const Timing timing_;
    std::function<void()> scan_;

    std::mutex mutex_;
    std::unique_ptr<FolderWatcher> watcher_;
    /// When the oldest request the pending debounced scan answers was made.
    std::optional<std::chrono::steady_clock::time_point> firstUnscannedRequest_;
    /// Scans come from the watcher's events rather than from the polling timer.
    std::atomic<bool> eventDriven_{false};
    TaskHandle debouncedScan_;
    TaskHandle pollingTimer_;
    TaskHandle stabilityWake_;
};

} // namespace velk
