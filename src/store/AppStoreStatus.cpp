// The store's lasting states: a pause, a folder that went missing and is waited for, the
// failures the user has not looked at yet, and the batch that ended last.
#include <algorithm>
#include <chrono>

#include "core/NativeLog.h"
#include "core/Paths.h"
#include "engine/HeldFolder.h"
#include "store/AppStore.h"
#include "store/HomePath.h"

namespace velk {

namespace fs = std::filesystem;

namespace {

bool isFolder(FileSystem& fileSystem, const fs::path& folder) {
    return HeldFolder::resolve(fileSystem, folder).has_value();
}

} // namespace

void AppStore::pause(std::optional<Date> until) {
    // Whole seconds: the saved form has no fraction, and the loaded pause must be this one.
    if (until)
        until = std::chrono::time_point_cast<std::chrono::seconds>(*until);
    NativeLog::write("Pause " +
                     (until ? "until " + iso8601(*until) : std::string("until resumed")));
    updateConfig([until](AppConfig& config) {
        config.enabled = true;
        config.paused = true;
        config.pausedUntil = until;
    });
    compressor_->stop();
    flushNotifications();
    notifyChange();
}

void AppStore::resume() {
    NativeLog::write("Resume");
    if (config_.paused)
        updateConfig([](AppConfig& config) {
            config.paused = false;
            config.pausedUntil.reset();
        });
    start();
}

void AppStore::acknowledgeFailures() {
    if (unseenFailures_ == 0)
        return;
    unseenFailures_ = 0;
    notifyChange();
}

void AppStore::checkFolderAndPause() {
    if (config_.paused) {
        if (config_.pausedUntil && clock_() >= *config_.pausedUntil) {
            NativeLog::write("Pause ended");
            resume();
        }
        return;
    }
    if (!config_.enabled)
        return;
    const auto folder = resolvedWatchDirectory();
    if (!folder)
        return;
    if (folderUnavailable_ && isFolder(fileSystem_, *folder) && !compressor_->isRunning()) {
        start();
    } else if (!folderUnavailable_ && compressor_->isRunning() && !compressor_->holdsFolder()) {
        // Moved away, unmounted or deleted while watched: nothing can be compressed, and
        // the person must be able to see that instead of a tray that looks busy. A folder
        // made again under the name is another one: it is started on only under its own
        // lock, by the start that ends the wait.
        compressor_->stop();
        flushNotifications();
        waitForFolder(*folder);
    }
}

void AppStore::waitForFolder(const fs::path& folder) {
    const bool entering = !folderUnavailable_;
    folderUnavailable_ = true;
    const std::string where = homeRelativePath(folder);
    watcherError_ =
        text(config_.language, "Папка не найдена: " + where, "Folder not found: " + where);
    if (entering) {
        NativeLog::write("Waiting for folder " + displayPath(folder));
        announceWatcherError();
    }
    notifyChange();
}

void AppStore::scanFinished(bool settled) {
    flushNotifications();
    if (currentBatch_) {
        lastBatch_ = std::exchange(currentBatch_, std::nullopt);
        notifyChange();
    }
    if (onScanFinished)
        onScanFinished(settled);
}

void AppStore::flushNotifications() {
    if (pendingNotifications_.empty())
        return;
    notificationManager_.sendBatch(std::exchange(pendingNotifications_, {}), config_);
}

void AppStore::notificationActionChosen(const std::string& action) {
    NativeLog::write("Notification action " + action);
    if (action == NotificationManager::showHistoryAction) {
        if (onShowHistoryRequested)
            onShowHistoryRequested();
    } else if (action == NotificationManager::openFolderAction) {
        openWatchDirectory();
    }
}

} // namespace velk
