#include "store/AppStore.h"

#include <algorithm>
#include <utility>

#include "core/Constants.h"
#include "core/FileError.h"
#include "core/Locations.h"
#include "core/NativeLog.h"
#include "core/Paths.h"
#include "engine/HeldFolder.h"
#include "store/WatchFolderBookmark.h"
#include "update/NullAppUpdater.h"

namespace velk {

namespace fs = std::filesystem;

std::shared_ptr<AppStore> AppStore::create(Services services) {
    auto store = std::make_shared<AppStore>(Token{}, std::move(services));
    // Callbacks hold the store weakly, which needs the shared owner to exist first.
    store->installCallbacks();
    return store;
}

AppStore::AppStore(Token, Services services)
    : fileSystem_(services.fileSystem), loginItem_(services.loginItem), dialogs_(services.dialogs),
      mainExecutor_(std::move(services.mainExecutor)),
      updater_(services.updater ? std::move(services.updater) : std::make_unique<NullAppUpdater>()),
      notificationManager_(services.notifier, std::move(services.notificationClock)),
      configURL_(velkApplicationSupportDirectory() / configFileName),
      historyURL_(velkApplicationSupportDirectory() / historyFileName),
      history_(CompressionHistory::load(historyURL_)), config_(loadAppConfig(configURL_)),
      clock_(std::move(services.clock)), folderCheckInterval_(services.folderCheckInterval),
      engineOptions_(services.engineOptions), codec_(services.codec),
      compressor_(std::make_unique<FolderCompressor>(services.fileSystem, services.codec,
                                                     std::move(services.engineOptions))) {
    NativeLog::write("Config loaded watch=" +
                     (config_.watchDirectory ? displayPath(*config_.watchDirectory) : "-") +
                     " enabled=" + (config_.enabled ? "true" : "false"));
    // A first run's language came from the locale: stored now, it stays the person's choice
    // even when the program is later started under another locale.
    std::error_code ec;
    if (std::filesystem::symlink_status(configURL_, ec).type() ==
            std::filesystem::file_type::not_found &&
        !saveAppConfig(configURL_, config_))
        countError();
}

void AppStore::installCallbacks() {
    // The callbacks copy the executor rather than reach it through the store: they may
    // run while the store is being destroyed, and then only the weak lock must fail.
    const std::weak_ptr<AppStore> weak = weak_from_this();
    const MainExecutor executor = mainExecutor_;

    updater_->setOnChange([weak, executor] {
        executor([weak] {
            if (auto self = weak.lock())
                self->notifyChange();
        });
    });
    notificationManager_.setOnAction([weak, executor](const std::string& action) {
        executor([weak, action] {
            if (auto self = weak.lock())
                self->notificationActionChosen(action);
        });
    });
    folderCheck_ = timers_.scheduleRepeating(
        std::chrono::duration<double>(folderCheckInterval_).count(), [weak, executor] {
            executor([weak] {
                if (auto self = weak.lock())
                    self->checkFolderAndPause();
            });
        });
    installEngineCallbacks();
}

void AppStore::installEngineCallbacks() {
    const std::weak_ptr<AppStore> weak = weak_from_this();
    const MainExecutor executor = mainExecutor_;
    compressor_->onStats = [weak, executor, issued = reportsIssued_](const CompressionStats& s) {
        const std::uint64_t report = issued->fetch_add(1) + 1;
        executor([weak, s, report] {
            if (auto self = weak.lock())
                self->applyStats(s, report);
        });
    };
    compressor_->onEvent = [weak, executor](const CompressionNotificationEvent& event) {
        executor([weak, event] {
            if (auto self = weak.lock())
                self->receiveEvent(event);
        });
    };
    compressor_->onHistory = [weak, executor](const CompressionHistoryEntry& entry) {
        executor([weak, entry] {
            if (auto self = weak.lock())
                self->recordHistory(entry);
        });
    };
    // Found on the queue (a scan, a stage's end); the store's own check would see it
    // later, on its next round.
    compressor_->onFolderLost = [weak, executor] {
        executor([weak] {
            if (auto self = weak.lock())
                self->checkFolderAndPause();
        });
    };
    compressor_->onScanFinished = [weak, executor](bool settled) {
        executor([weak, settled] {
            if (auto self = weak.lock())
                self->scanFinished(settled);
        });
    };
}

void AppStore::start() {
    const auto folder = resolvedWatchDirectory();
    if (!folder) {
        watcherError_ =
            text(config_.language, "Выберите папку для сжатия", "Choose a compression folder");
        notifyChange();
        return;
    }
    if (storedDirectoryNeedsFreshSelection(*folder)) {
        NativeLog::write("Start skipped: folder needs system selection " + displayPath(*folder));
        watcherError_ = text(config_.language, "Нужно заново выбрать папку и подтвердить доступ",
                             "Choose the folder again to grant access");
        if (onNotice)
            onNotice(CompressionNotificationEvent(
                CompressionNotificationEvent::WatcherFailed{*watcherError_}));
        notifyChange();
        return;
    }
    if (!config_.enabled)
        updateConfig([](AppConfig& config) { config.enabled = true; });
    if (config_.paused) {
        if (!config_.pausedUntil || clock_() < *config_.pausedUntil) {
            NativeLog::write("Start deferred: paused");
            notifyChange();
            return;
        }
        NativeLog::write("Pause ended");
        updateConfig([](AppConfig& config) {
            config.paused = false;
            config.pausedUntil.reset();
        });
    }
    if (!HeldFolder::resolve(fileSystem_, *folder)) {
        waitForFolder(*folder);
        return;
    }
    NativeLog::write("Start watcher " + displayPath(*folder));
    try {
        startEngine(*folder);
    } catch (const std::exception& error) {
        folderUnavailable_ = false;
        handleWatcherFailure(error);
        return;
    }
    if (folderUnavailable_)
        NativeLog::write("Folder is back " + displayPath(*folder));
    folderUnavailable_ = false;
    watcherError_.reset();
    notifyChange();
}

void AppStore::stop() {
    NativeLog::write("Stop watcher");
    if (config_.enabled || config_.paused)
        updateConfig([](AppConfig& config) {
            config.enabled = false;
            config.paused = false;
            config.pausedUntil.reset();
        });
    compressor_->stop();
    flushNotifications();
    folderUnavailable_ = false;
    if (watcherError_ && resolvedWatchDirectory())
        watcherError_.reset();
    notifyChange();
}

void AppStore::setConfig(AppConfig config) {
    const AppConfig previous = std::exchange(config_, std::move(config));
    configDidChange(previous);
}

void AppStore::updateConfig(const std::function<void(AppConfig&)>& change) {
    AppConfig changed = config_;
    change(changed);
    setConfig(std::move(changed));
}

void AppStore::setAutostart(bool autostart) {
    updateConfig([autostart](AppConfig& config) {
        config.autostart = autostart;
        config.autostartAsked = true;
    });
}

void AppStore::setShowMenuBarProgress(bool show) {
    updateConfig([show](AppConfig& config) { config.showMenuBarProgress = show; });
}

void AppStore::setLanguage(AppLanguage language) {
    updateConfig([language](AppConfig& config) { config.language = language; });
}

void AppStore::setNotificationsEnabled(bool enabled) {
    updateConfig([enabled](AppConfig& config) { config.notificationsEnabled = enabled; });
    if (enabled)
        notificationManager_.requestAuthorizationIfNeeded();
}

AppConfig AppStore::withChosenWatchDirectory(AppConfig config, const fs::path& folder) {
    config.watchDirectory = standardized(folder);
    config.watchDirectoryBookmark = watchFolderBookmark(folder);
    config.enabled = true;
    return config;
}

void AppStore::clearHistory() {
    history_.clear();
    history_.save(historyURL_);
    notifyChange();
}

std::string AppStore::updateButtonTitle() const {
    switch (updater_->state()) {
    case AppUpdaterState::checking:
        return text(config_.language, "Проверка…", "Checking…");
    case AppUpdaterState::downloading:
        return text(config_.language, "Скачивание…", "Downloading…");
    case AppUpdaterState::installing:
        return text(config_.language, "Перезапуск…", "Restarting…");
    case AppUpdaterState::idle:
    case AppUpdaterState::failed:
        break;
    }
    return text(config_.language, "Проверить", "Check");
}

std::optional<fs::path> AppStore::resolvedWatchDirectory() const {
    if (config_.watchDirectoryBookmark) {
        if (auto folder = resolveWatchFolderBookmark(*config_.watchDirectoryBookmark))
            return folder;
    }
    return config_.watchDirectory;
}

bool AppStore::storedDirectoryNeedsFreshSelection(const fs::path&) const {
    return false;
}

void AppStore::startEngine(const fs::path& folder) {
    // The engine checks this too, but only here is it known that the path is the folder.
    if (!HeldFolder::resolve(fileSystem_, folder))
        throw FileError(FileError::Kind::readNoSuchFile, folder, FileError::Item::folder);
    compressor_->start(config_, folder);
}

void AppStore::handleWatcherFailure(const std::exception& error) {
    NativeLog::write(std::string("Watcher failed ") + error.what());
    watcherError_ = userDescription(error, config_.language);
    announceWatcherError();
    notifyChange();
}

void AppStore::announceWatcherError() {
    countError();
    const CompressionNotificationEvent event(
        CompressionNotificationEvent::WatcherFailed{*watcherError_});
    if (onNotice)
        onNotice(event);
    notificationManager_.send(event, config_);
}

void AppStore::configDidChange(const AppConfig& previous) {
    if (!saveAppConfig(configURL_, config_))
        countError();
    if (config_.autostart != previous.autostart)
        updateLoginItem();
    if (config_.requiresCompressorRestart(previous))
        restartIfNeeded();
    notifyChange();
}

void AppStore::updateLoginItem() {
    try {
        const bool enabled = loginItem_.isEnabled();
        if (!config_.autostart && enabled)
            loginItem_.unregisterItem();
        else if (config_.autostart && !enabled)
            loginItem_.registerItem();
    } catch (const std::exception& error) {
        NativeLog::write(std::string("Login item change failed ") + error.what());
        countError();
    }
}

void AppStore::restartIfNeeded() {
    if (!compressor_->isRunning())
        return;
    // The scan those failures belong to ends unfinished.
    flushNotifications();
    const auto folder = resolvedWatchDirectory();
    if (!folder || storedDirectoryNeedsFreshSelection(*folder))
        return;
    try {
        startEngine(*folder);
        watcherError_.reset();
    } catch (const std::exception& error) {
        handleWatcherFailure(error);
    }
}

void AppStore::applyStats(const CompressionStats& stats, std::uint64_t report) {
    // Reports come from the engine's queue, its progress timer and the caller of start or
    // stop, so two may arrive out of order; the older one would undo the newer.
    if (report < lastAppliedReport_)
        return;
    lastAppliedReport_ = report;
    std::erase_if(storeErrorMarks_, [report](std::uint64_t mark) { return mark < report; });
    stats_ = stats;
    stats_.errors += static_cast<int>(storeErrorMarks_.size());
    notifyChange();
}

void AppStore::receiveEvent(const CompressionNotificationEvent& event) {
    if (onNotice)
        onNotice(event);
    if (!event.allowsSystemNotification())
        return;
    // A batch's failures are told together when its scan ends; the folder's own trouble
    // cannot wait for a scan that will not come.
    if (std::holds_alternative<CompressionNotificationEvent::WatcherFailed>(event.payload()))
        notificationManager_.send(event, config_);
    else
        pendingNotifications_.push_back(event);
}

void AppStore::recordHistory(const CompressionHistoryEntry& entry) {
    BatchSummary& batch = currentBatch_ ? *currentBatch_ : currentBatch_.emplace();
    ++batch.files;
    if (entry.status == CompressionHistoryStatus::failed) {
        ++batch.failed;
        ++unseenFailures_;
    } else if (entry.status == CompressionHistoryStatus::compressed && entry.savedBytes()) {
        batch.savedBytes += std::max<std::int64_t>(0, *entry.savedBytes());
    }
    history_.record(entry);
    history_.save(historyURL_);
    notifyChange();
}

void AppStore::countError() {
    storeErrorMarks_.push_back(reportsIssued_->load());
    stats_.errors += 1;
}

void AppStore::notifyChange() {
    if (onChange)
        onChange();
}

} // namespace velk
