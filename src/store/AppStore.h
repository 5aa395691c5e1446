#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/FolderCompressor.h"
#include "model/AppConfig.h"
#include "model/CompressionHistory.h"
#include "model/CompressionStats.h"
#include "notify/CompressionNotificationEvent.h"
#include "notify/NotificationManager.h"
#include "platform/FileSystem.h"
#include "platform/ImageCodec.h"
#include "platform/LoginItem.h"
#include "platform/Notifier.h"
#include "platform/SerialQueue.h"
#include "store/UserDialogs.h"
#include "update/AppUpdater.h"

namespace velk {

/// The one controller of the program: owns the configuration, the history, the engine,
/// the notification sender and the update client, persists the records and turns every
/// configuration change into the right engine action.
///
/// Confined to the main thread. Whatever reaches it from other threads (engine reports,
/// the update client) is posted through the main executor, holding the store weakly.
class AppStore : public std::enable_shared_from_this<AppStore> {
    struct Token {};

public:
    /// Runs a task later on the main thread. Must accept tasks from any thread, and keep
    /// accepting (it may drop them) after the main loop has ended.
    using MainExecutor = std::function<void(std::function<void()>)>;

    struct Services {
        FileSystem& fileSystem;
        const ImageCodec& codec;
        Notifier& notifier;
        LoginItem& loginItem;
        MainExecutor mainExecutor;
        /// None gives NullAppUpdater, the client of a build without self-updates.
        std::unique_ptr<AppUpdater> updater;
        FolderCompressor::Options engineOptions = {};
        NotificationManager::Clock notificationClock = [] {
            return std::chrono::steady_clock::now();
        };
        /// None (the headless mode) makes the commands below log and do nothing.
        UserDialogs* dialogs = nullptr;
        /// The wall clock pauses end by.
        std::function<Date()> clock = [] { return std::chrono::system_clock::now(); };
        /// How often a wanted but missing folder is looked for again, a watched one checked
        /// for still being there, and a pause for having ended.
        std::chrono::milliseconds folderCheckInterval{2000};
    };

    /// What the files of the batch that ended last came to.
    struct BatchSummary {
        int files = 0;
        int failed = 0;
        std::int64_t savedBytes = 0;
        bool operator==(const BatchSummary&) const = default;
    };

    /// Loads the configuration and the history from the application support folder; does
    /// not start the engine. The services must outlive the store.
    static std::shared_ptr<AppStore> create(Services services);
    AppStore(Token, Services services);
    AppStore(const AppStore&) = delete;
    AppStore& operator=(const AppStore&) = delete;

    std::function<void()> onChange;
    std::function<void(const CompressionNotificationEvent&)> onNotice;
    /// After every engine scan: whether the folder has settled (see FolderCompressor).
    std::function<void(bool settled)> onScanFinished;
    /// A notification's "Show in history" was chosen; the shell opens the history.
    std::function<void()> onShowHistoryRequested;
    /// A newly chosen folder is now watched; the shell shows the panel to confirm it.
    std::function<void()> onFolderWatched;

    /// Begins compressing the configured folder, switching `enabled` on; a failure ends in
    /// `watcherError`, never in an exception. A pause that has not ended yet holds the
    /// engine back; a folder that is missing is waited for and started on when it is back.
    void start();
    /// Switches automatic compression off (ending any pause); returns once the file in
    /// progress has ended.
    void stop();

    /// Holds compression back until `until`, or until resume() when none; `enabled` stays
    /// on and the pause is saved, so it outlives a restart. Files in progress are left as
    /// they were, as a stop leaves them.
    void pause(std::optional<Date> until);
    /// Ends a pause and starts the engine.
    void resume();
    bool isPaused() const { return config_.paused; }
    /// The configured folder is wanted but missing; the store looks for it again every
    /// folderCheckInterval and starts on it when it is back.
    bool folderUnavailable() const { return folderUnavailable_; }
    /// Files that failed since the user last looked at the panel or the history.
    int unseenFailures() const { return unseenFailures_; }
    void acknowledgeFailures();
    const std::optional<BatchSummary>& lastBatch() const { return lastBatch_; }
    /// "Start at login?" is still to be asked: a folder is watched and it never was.
    bool offersAutostart() const { return config_.watchDirectory && !config_.autostartAsked; }

    /// The images at the top of `folder` the engine would take: their paths and total size.
    struct ExistingImages {
        std::vector<std::filesystem::path> files;
        std::int64_t bytes = 0;
    };
    ExistingImages existingImages(const std::filesystem::path& folder) const;
    /// Records every one of `files`, so that the engine leaves them as they are under any
    /// settings until they change; `config` is the configuration they are recorded under.
    void leaveExistingImagesAlone(const std::vector<std::filesystem::path>& files,
                                  const AppConfig& config);
    /// "Ignore this file": the engine never touches it, whatever its contents, until
    /// stopIgnoring(). Kept across restarts.
    void ignoreFile(const std::filesystem::path& file);
    void stopIgnoring(const std::filesystem::path& file);
    std::vector<std::filesystem::path> ignoredFiles();
    /// The history's "restore the original": puts the file's verified original back from
    /// the backup folder, through the engine's queue, and leaves it alone until it changes.
    /// Refused, with nothing changed, when no backup of its original exists. `done` is
    /// called on the main thread; never while the store is being destroyed.
    void restoreOriginal(const std::filesystem::path& file,
                         std::function<void(const RestoreResult&)> done);
    /// The same, waiting for the result: for the command line, where nothing else runs.
    RestoreResult restoreOriginal(const std::filesystem::path& file);
    /// Where the folder dialog opens: the current folder, else ~/Pictures, else home.
    std::filesystem::path folderDialogStart() const;
    Date now() const { return clock_(); }

    const AppConfig& config() const { return config_; }
    /// Every assignment is saved and may register the login item or restart the engine.
    void setConfig(AppConfig config);
    /// One assignment of the configuration with `change` applied.
    void updateConfig(const std::function<void(AppConfig&)>& change);
    void setAutostart(bool autostart);
    void setShowMenuBarProgress(bool show);
    void setLanguage(AppLanguage language);
    void setNotificationsEnabled(bool enabled);

    /// What choosing `folder` in the folder dialog makes of `config`.
    static AppConfig withChosenWatchDirectory(AppConfig config,
                                              const std::filesystem::path& folder);

    const std::vector<CompressionHistoryEntry>& history() const { return history_.entries(); }
    void clearHistory();

    bool isRunning() const { return compressor_->isRunning(); }
    bool isUpdateBusy() const { return updater_->isBusy(); }
    std::string updateButtonTitle() const;
    const CompressionStats& stats() const { return stats_; }
    const std::optional<std::string>& watcherError() const { return watcherError_; }

    /// The bookmark's folder when it resolves, else the stored path; none without either.
    std::optional<std::filesystem::path> resolvedWatchDirectory() const;
    /// Whether the folder can only be reached after the user chooses it again. Linux grants
    /// no per-folder access, so never.
    bool storedDirectoryNeedsFreshSelection(const std::filesystem::path& folder) const;
    /// Turns an engine start failure into the watcher error, a counted error, a notice and
    /// a system notification.
    void handleWatcherFailure(const std::exception& error);
    /// Counts `watcherError_` as an error and tells the panel and the notifications.
    void announceWatcherError();

    // The user's commands. Those taking a window attach their alerts to it when it is
    // visible; the others are application-modal.
    void selectWatchDirectory(UserDialogs::Window from = nullptr);
    void openWatchDirectory();
    void openBackupDirectory();
    void clearBackups(UserDialogs::Window from = nullptr);
    /// How many files the backup folder holds, at every depth, and their total size.
    struct BackupFolderSize {
        std::int64_t files = 0;
        std::int64_t bytes = 0;
    };
    BackupFolderSize backupFolderSize(const std::filesystem::path& folder) const;
    void openWebsite();
    void checkUpdates(UserDialogs::Window from = nullptr);
    /// Whether a folder dialog opened by selectWatchDirectory is still waiting for the user.
    bool isChoosingDirectory() const { return directoryPanelOpen_; }

    FolderCompressor& compressor() { return *compressor_; }
    NotificationManager& notificationManager() { return notificationManager_; }
    AppUpdater& updater() { return *updater_; }
    const std::filesystem::path& configURL() const { return configURL_; }
    const std::filesystem::path& historyURL() const { return historyURL_; }

private:
    void installCallbacks();
    void configDidChange(const AppConfig& previous);
    void updateLoginItem();
    void restartIfNeeded();
    void applyStats(const CompressionStats& stats, std::uint64_t report);
    void receiveEvent(const CompressionNotificationEvent& event);
    void recordHistory(const CompressionHistoryEntry& entry);
    void countError();
    void notifyChange();
    void installEngineCallbacks();
    void checkFolderAndPause();
    void waitForFolder(const std::filesystem::path& folder);
    void scanFinished(bool settled);
    /// Sends the failures gathered since the last scan as one notification.
    void flushNotifications();
    void notificationActionChosen(const std::string& action);

    /// Throws FileError (a folder) when the folder is gone, else what the engine throws.
    void startEngine(const std::filesystem::path& folder);
    void didChooseWatchDirectory(const std::optional<std::filesystem::path>& folder);
    void watchChosenDirectory(const std::filesystem::path& folder);
    /// The resolved watch folder when it exists as a folder; else the missing-folder alert.
    std::optional<std::filesystem::path> existingWatchDirectoryOrAlert();
    void showMissingFolderAlert();
    void showNoBackupsAlert(const std::string& informativeText, UserDialogs::Window window);
    void showAvailableUpdate(const AppUpdateManifest& manifest, UserDialogs::Window from);
    void downloadAndInstall(const AppUpdateManifest& manifest, UserDialogs::Window from);
    /// Whether the failure came from a mere check or from fetching and installing.
    enum class UpdateStep { check, update };
    /// `error` is what the client failed with: an AppUpdateError or a network, file or
    /// decoding error passed on unchanged.
    void showUpdateError(const std::exception_ptr& error, UserDialogs::Window from,
                         UpdateStep step = UpdateStep::update);
    void showAlert(UserDialogs::Alert alert, UserDialogs::Window window,
                   UserDialogs::AlertCompletion completion = {});
    bool hasDialogs(const char* command) const;

    FileSystem& fileSystem_;
    LoginItem& loginItem_;
    UserDialogs* dialogs_;
    bool directoryPanelOpen_ = false;
    MainExecutor mainExecutor_;

    CompressionStats stats_;
    /// Numbers the engine's reports as they are issued, from whichever thread issues them.
    std::shared_ptr<std::atomic<std::uint64_t>> reportsIssued_ =
        std::make_shared<std::atomic<std::uint64_t>>(0);
    std::uint64_t lastAppliedReport_ = 0;
    /// For each error the store counted itself, how many reports had been issued by then:
    /// a report issued earlier but delivered later must not wipe that error out.
    std::vector<std::uint64_t> storeErrorMarks_;

    std::unique_ptr<AppUpdater> updater_;
    NotificationManager notificationManager_;
    std::filesystem::path configURL_;
    std::filesystem::path historyURL_;
    CompressionHistory history_;
    std::optional<std::string> watcherError_;
    AppConfig config_;
    std::function<Date()> clock_;
    std::chrono::milliseconds folderCheckInterval_;
    bool folderUnavailable_ = false;
    int unseenFailures_ = 0;
    std::optional<BatchSummary> currentBatch_;
    std::optional<BatchSummary> lastBatch_;
    /// Failures of the scan under way, told in one notification when it ends.
    std::vector<CompressionNotificationEvent> pendingNotifications_;
    TaskHandle folderCheck_;
    /// Only waits and posts to the main executor; the checks themselves run there.
    SerialQueue timers_{"velk.store.timers"};
    FolderCompressor::Options engineOptions_;
    const ImageCodec& codec_;
    // Last, so it is destroyed first: its destructor stops the run and waits for the file
    // in progress, and nothing it reports may find the members above gone.
    std::unique_ptr<FolderCompressor> compressor_;
};

} // namespace velk
