#include "engine/ScanScheduler.h"

#include <algorithm>
#include <sstream>
#include <system_error>

#include "core/Constants.h"
#include "core/NativeLog.h"
#include "core/Paths.h"

namespace velk {

namespace fs = std::filesystem;

namespace {
std::string secondsText(double seconds) {
    std::ostringstream text;
    text << seconds;
    return text.str();
}
} // namespace

ScanScheduler::ScanScheduler(SerialQueue& queue, const EngineControl& control, Timing timing,
                             std::function<void()> scan)
    : queue_(queue), control_(control), timing_(std::move(timing)), scan_(std::move(scan)) {}

void ScanScheduler::start(const fs::path& folder) {
    watch(folder);
    requestScan();
}

void ScanScheduler::stop() {
    std::unique_ptr<FolderWatcher> watcher;
    {
        std::scoped_lock lock(mutex_);
        debouncedScan_.cancel();
        pollingTimer_.cancel();
        stabilityWake_.cancel();
        watcher = std::move(watcher_);
    }
    // Joined outside the lock: its reader may be waiting for the lock to schedule a scan.
    watcher.reset();
    eventDriven_ = false;
}

void ScanScheduler::watch(const fs::path& folder) {
    const std::string polling =
        "Watching " + displayPath(folder) +
        (timing_.pollingInterval > 0
             ? " by polling every " + secondsText(timing_.pollingInterval) + " s"
             : std::string(" by scans on request only"));
    if (!timing_.watchEvents) {
        NativeLog::write(polling);
        startPolling();
        return;
    }
    // Changes made by another machine or a user-space server never become events here.
    if (const auto remote = FolderWatcher::remoteFileSystemName(folder)) {
        NativeLog::write(polling + " (" + *remote + " file system: no change events)");
        startPolling();
        return;
    }
    auto handler = [this](FolderWatcher::Signal signal) { watcherSignalled(signal); };
    try {
        auto watcher = timing_.makeWatcher
                           ? timing_.makeWatcher(folder, std::move(handler))
                           : std::make_unique<FolderWatcher>(folder, std::move(handler));
        std::scoped_lock lock(mutex_);
        watcher_ = std::move(watcher);
        eventDriven_ = true;
    } catch (const std::system_error& error) {
        // Typically the per-user watch limit (ENOSPC) or instance limit (EMFILE).
        NativeLog::write(polling + " (no change events: " + error.what() + ")");
        startPolling();
        return;
    }
    NativeLog::write("Watching " + displayPath(folder) + " with file system events");
}

void ScanScheduler::watcherSignalled(FolderWatcher::Signal signal) {
    switch (signal) {
    case FolderWatcher::Signal::changed:
        break;
    case FolderWatcher::Signal::overflow:
        // The watch itself goes on: one scan looks at every file, and events carry on.
        NativeLog::write("Change events overflowed; scanning the whole folder");
        break;
    case FolderWatcher::Signal::lost:
        NativeLog::write("Change events ended for the folder; polling every " +
                         secondsText(timing_.pollingInterval) + " s");
        eventDriven_ = false;
        startPolling();
        break;
    }
    requestScan();
}

void ScanScheduler::afterScan(bool settled, std::size_t waitingFiles,
                              std::optional<double> secondsUntilFirstStable) {
    if (!eventDriven_)
        return;
    if (!settled && waitingFiles == 0)
        requestScan();
    const auto wait = secondsUntilFirstStable;
    if (!wait)
        return;
    std::scoped_lock lock(mutex_);
    if (control_.cancellationRequested())
        return;
    stabilityWake_.cancel();
    // The queue's timers never fire early; the margin only covers the rounding of the
    // wait into the clock's ticks, so the file is surely due when the scan looks at it.
    stabilityWake_ = queue_.submitAfter(*wait + 0.0001, [this] { scan_(); });
}

void ScanScheduler::startPolling() {
    if (timing_.pollingInterval <= 0)
        return;
    // The queue is destroyed before the scheduler and never runs a task after that, so
    // the timer may hold the scheduler directly.
    std::scoped_lock lock(mutex_);
    if (control_.cancellationRequested())
        return;
    pollingTimer_ = queue_.scheduleRepeating(timing_.pollingInterval, [this] { requestScan(); });
}

void ScanScheduler::requestScan() {
    // A polling tick may reach here while stop() runs on another thread.
    std::scoped_lock lock(mutex_);
    if (control_.cancellationRequested())
        return;
    // Each request pushes the scan back by the debounce, but a file written without end (a
    // download, a log) sends events many times a second: past the longest wait the scan
    // runs anyway, or the folder's other files would never be looked at.
    const auto now = std::chrono::steady_clock::now();
    if (!firstUnscannedRequest_)
        firstUnscannedRequest_ = now;
    const double debounce = std::max(timing_.debounceInterval, 0.0);
    const double longest = std::max(debounce, velk::pollingInterval);
    const double waited = std::chrono::duration<double>(now - *firstUnscannedRequest_).count();
    debouncedScan_.cancel();
    debouncedScan_ = queue_.submitAfter(std::clamp(longest - waited, 0.0, debounce), [this] {
        {
            std::scoped_lock lock(mutex_);
            firstUnscannedRequest_.reset();
        }
        scan_();
    });
}

} // namespace velk
