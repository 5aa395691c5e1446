#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/DateTime.h"
#include "engine/BatchProgress.h"
#include "engine/ChangeDetector.h"
#include "engine/DecisionRecorder.h"
#include "engine/EngineControl.h"
#include "engine/FileJob.h"
#include "engine/HeldFolder.h"
#include "engine/InterruptedWorkRecovery.h"
#include "engine/OriginalRestore.h"
#include "engine/OutputOwnership.h"
#include "engine/ProcessedFileRegistry.h"
#include "engine/RunSettings.h"
#include "engine/SafeInstaller.h"
#include "engine/ScanListing.h"
#include "engine/ScanScheduler.h"
#include "model/AppConfig.h"
#include "model/CompressionHistoryEntry.h"
#include "model/CompressionStats.h"
#include "notify/CompressionNotificationEvent.h"
#include "platform/FileSystem.h"
#include "platform/FolderWatcher.h"
#include "platform/ImageCodec.h"
#include "platform/SerialQueue.h"

namespace velk {

/// Files encoded at once when nothing says otherwise: VELK_JOBS when it holds 1 to 4,
/// else the number of cores, at most 4.
int defaultJobCount();

/// The compression engine: polls one folder, decides which top-level images are ready,
/// and compresses them on its own serial queue. Up to `jobs` files are planned, encoded
/// and checked at once on worker threads; every decision, installation and report stays
/// on the queue, in the scan's order, so the results do not depend on `jobs`. Reports
/// through three callbacks, called on the engine's queue (onStats also from the progress
/// timer and from start/stop); receivers hop to their own thread.
///
/// A facade over its parts (docs/engine.md), each the owner of one kind of state:
/// - ScanScheduler: the watcher, polling, debounce and stability wake-ups;
/// - ScanListing: one scan's candidates and its index by stem (a value per scan);
/// - ChangeDetector: which candidates need processing now, and this run's memory of them;
/// - OutputOwnership: which files are the engine's outputs, and which may go as stale;
/// - DecisionRecorder: the only writer of the registry, with its batched saves;
/// - JobRunner and FileJob: files in flight, stage by stage, each ending in a FileOutcome;
/// - BatchProgress: the statistics and the batch's eased percentage (the stats lock);
/// - InterruptedWorkRecovery: what a killed run left behind, put right at start.
/// The facade itself holds the queue, the control, the folder lock and the run's
/// settings, and apply() is the one place a file's outcome is recorded.
class FolderCompressor : private ChangeDetector::Delegate {
public:
    struct Options {
        std::filesystem::path registryFile;
        std::function<Date()> clock;
        /// Breathing room after a scan that processed files, so a stream of new files
        /// does not saturate the machine; 0 for batch runs.
        double pauseAfterFile = 0.12;
        /// Files in flight at once, 1 to 4.
        int jobs;
        /// Polling, where the folder's changes cannot be had as events, and debounce;
        /// tests shorten or disable them.
        double pollingInterval;
        double scanDebounceInterval;
        /// Scan on the kernel's change events instead of polling, where they can be had.
        /// Tests that drive every scan themselves turn this off.
        bool watchEvents = true;
        /// Makes the event watch; empty for the real one. Tests make it fail.
        std::function<std::unique_ptr<FolderWatcher>(const std::filesystem::path&,
                                                     FolderWatcher::Handler)>
            makeWatcher;
        /// Decisions are written to the registry at most this often (and at stop); zero
        /// writes each at once.
        double registrySaveInterval = 1.0;
        /// Each outside tool run may take base + perMegapixel × the image's megapixels
        /// seconds.
        double toolTimeLimitBase;
        double toolTimeLimitPerMegapixel;
        Options();
    };

    FolderCompressor(FileSystem& fs, const ImageCodec& codec, Options options = {});
    FolderCompressor(const FolderCompressor&) = delete;
    FolderCompressor& operator=(const FolderCompressor&) = delete;
    ~FolderCompressor();

    /// Replaces any previous run. A symbolic link to a folder is followed here, once: the
    /// run works in its target. Throws FileError(readNoSuchFile) when the folder is
    /// missing or not a folder, FolderLockError(held) when another engine, in this process
    /// or another, already watches it; the lock is kept until stop().
    void start(const AppConfig& config, const std::filesystem::path& watchDirectory);
    /// Returns only after every file in progress has ended: its tools stopped, its worker
    /// finished and its scratch folder gone.
    void stop();
    bool isRunning() const { return control_.running(); }
    /// Whether the folder of this run is still the one it locked: false once it was
    /// removed, or moved away with something else made under its name. On the caller's
    /// thread, as start and stop.
    bool holdsFolder() const {
        return heldFolder_ && heldFolder_->presence() == FolderLock::Presence::atPath;
    }

    std::function<void(const CompressionStats&)> onStats;
    std::function<void(const CompressionNotificationEvent&)> onEvent;
    std::function<void(const CompressionHistoryEntry&)> onHistory;
    std::function<void(const std::filesystem::path&)> onBeforeDestructiveInstallForTesting;
    /// Called on the queue after every scan with whether the folder has settled: the scan
    /// processed nothing and no file is waiting for its stability interval.
    std::function<void(bool settled)> onScanFinished;
    /// Called on the queue, once, when the run finds that its folder is no longer the one
    /// it locked. The run has then stopped touching the path; stop() ends it, and a new
    /// start() takes the lock of whatever is there now.
    std::function<void()> onFolderLost;

    /// Files the engine leaves as they are under any settings (LeftAloneReason): the
    /// images already in a folder when the person asked for new ones only, files they
    /// asked never to be touched. Recorded on the queue, after the batch under way and
    /// before any later scan, whether or not the engine is started; the caller does not
    /// wait (a batch can take minutes). `config` names the settings key stored with the
    /// records (what the previous version reads).
    void leaveAlone(std::vector<std::filesystem::path> files, LeftAloneReason reason,
                    const AppConfig& config);
    /// Forgets what was recorded of the file, so that it is decided afresh.
    void stopLeavingAlone(const std::filesystem::path& file);
    /// The files recorded as ignored, including those still waiting to be recorded.
    std::vector<std::filesystem::path> ignoredFiles() const;
    /// Puts the original of `file` back from the backup folder (see restoreOriginal in
    /// OriginalRestore.h) and leaves it alone until its contents change. Runs on the
    /// queue, between files, whether or not the engine is started; `done` is called there.
    void restoreOriginal(const std::filesystem::path& file, const AppConfig& config,
                         std::function<void(const RestoreResult&)> done);
    /// The same, waiting for the result.
    RestoreResult restoreOriginal(const std::filesystem::path& file, const AppConfig& config);

    /// A debounced scan soon, as a change in the folder would ask for.
    void requestScan() { scheduler_.requestScan(); }

    /// Runs one scan on the queue now and waits for it (tests and batch mode).
    void scanNow();
    void waitUntilIdle() { queue_.waitUntilIdle(); }

private:
    // ChangeDetector::Delegate
    std::vector<std::filesystem::path>
    removeStaleOutputs(const std::filesystem::path& source) override;
    bool registryCanSkip(const std::filesystem::path& source) override;
    bool recogniseMarkedOutput(const std::filesystem::path& file) override;
    std::string settingsKey() const override;
    void report(const CompressionNotificationEvent& event) override;
    void recordUnsupported(const std::filesystem::path& file) override;

    void scan();
    /// On the queue: false, once its loss is logged and reported, when the folder is no
    /// longer the one locked; nothing is scanned or started in it after that.
    bool folderStillHeld();
    /// Lists the folder into listing_, forgetting what is gone and reporting unsupported
    /// files.
    void listFolder(const std::filesystem::path& folder);
    void runJobs(const std::vector<std::filesystem::path>& files);
    /// The one place a file's end is recorded: in the detector, the registry, the
    /// statistics, the history and the notices.
    void apply(const FileOutcome& outcome);
    void recordResult(const FileOutcome& outcome);
    void recordInstalled(const std::filesystem::path& file, const std::filesystem::path& output);
    void rememberHandled(const std::filesystem::path& file);
    CompressionHistoryEntry historyRow(const std::filesystem::path& source,
                                       const std::filesystem::path& output,
                                       std::int64_t originalBytes, std::int64_t outputBytes,
                                       CompressionHistoryStatus status) const;
    /// `message` goes to the log, `userMessage` to the notice and the history row.
    /// A `lasting` failure is remembered across runs until the file changes.
    void recordFailure(const std::filesystem::path& file, const std::string& message,
                       const std::string& userMessage, bool lasting);
    void rememberProcessed(const std::filesystem::path& file, ProcessedDecision decision);

    Date now() const;

    // Built before the queue and gone after it: its tasks may use every part.
    FileSystem& fs_;
    const ImageCodec& codec_;
    Options options_;
    EngineControl control_;
    DecisionRecorder recorder_;
    InterruptedWorkRecovery recovery_;
    OutputOwnership ownership_;
    SafeInstaller installer_;
    BatchProgress progress_;
    ChangeDetector detector_;
    ScanScheduler scheduler_;

    // Touched on the queue, or by start/stop while the queue is idle. Workers get the
    // settings as their own shared copy of the snapshot, never through this member.
    std::shared_ptr<const RunSettings> settings_;
    std::optional<std::filesystem::path> watchDirectory_;
    /// One engine per folder: two would each compress the other's outputs again.
    std::optional<HeldFolder> heldFolder_;
    /// This scan's, on the queue.
    ScanListing listing_;

    /// pathKey of each ignored file, as the person last said: read from any thread.
    mutable std::mutex ignoredMutex_;
    std::set<std::string> ignored_;

    SerialQueue queue_{"com.velk.compressor.folder"};
};

} // namespace velk
