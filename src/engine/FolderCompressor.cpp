#include "engine/FolderCompressor.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "core/Constants.h"
#include "core/NativeLog.h"
#include "core/Paths.h"
#include "core/Uuid.h"
#include "platform/ChildProcess.h"
#include "platform/HeapTuning.h"

namespace velk {

namespace fs = std::filesystem;

namespace {
bool sameFile(const fs::path& a, const fs::path& b) {
    return standardized(a) == standardized(b);
}

// An injected clock (tests) drives the stability wait too; otherwise it is timed on the
// monotonic clock.
ChangeDetector::MonotonicClock monotonicClockFor(const std::function<Date()>& clock) {
    if (!clock)
        return {};
    return [clock] {
        return std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                clock().time_since_epoch()));
    };
}
} // namespace

int defaultJobCount() {
    if (const char* value = std::getenv("VELK_JOBS"); value && *value) {
        const std::string text(value);
        if (text.size() == 1 && text[0] >= '1' && text[0] <= '4')
            return text[0] - '0';
        NativeLog::write("Ignored VELK_JOBS=\"" + text + "\": it takes 1 to 4");
    }
    const unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(cores, 1u, 4u));
}

FolderCompressor::Options::Options()
    : registryFile(ProcessedFileRegistry::defaultFile()), jobs(defaultJobCount()),
      pollingInterval(velk::pollingInterval), scanDebounceInterval(velk::scanDebounceInterval),
      toolTimeLimitBase(velk::toolTimeLimitBase),
      toolTimeLimitPerMegapixel(velk::toolTimeLimitPerMegapixel) {}

FolderCompressor::FolderCompressor(FileSystem& fs, const ImageCodec& codec, Options options)
    : fs_(fs), codec_(codec), options_(std::move(options)),
      recorder_(fs, options_.registryFile, queue_, control_, options_.registrySaveInterval,
                [this] { return now(); }),
      recovery_(fs, codec, control_, recorder_), ownership_(fs, codec, recorder_.registry()),
      installer_(fs, control_, options_.clock), progress_([this](const CompressionStats& stats) {
          if (onStats)
              onStats(stats);
      }),
      detector_(
          fs, recorder_.registry(), *this, [this] { return now(); },
          monotonicClockFor(options_.clock)),
      scheduler_(queue_, control_,
                 {options_.pollingInterval, options_.scanDebounceInterval, options_.watchEvents,
                  options_.makeWatcher},
                 [this] { scan(); }),
      settings_(std::make_shared<const RunSettings>(runSettings(
          AppConfig{}, options_.toolTimeLimitBase, options_.toolTimeLimitPerMegapixel))) {
    for (const auto& [key, record] : recorder_.registry().entries()) {
        if (record.leftAlone == LeftAloneReason::ignored)
            ignored_.insert(key);
    }
}

FolderCompressor::~FolderCompressor() {
    stop();
}

Date FolderCompressor::now() const {
    return options_.clock ? options_.clock() : std::chrono::system_clock::now();
}

void FolderCompressor::start(const AppConfig& config, const fs::path& watchDirectory) {
    stop();
    control_.setCancellationRequested(false);
    settings_ = std::make_shared<const RunSettings>(
        runSettings(config, options_.toolTimeLimitBase, options_.toolTimeLimitPerMegapixel));
    detector_.clear();
    heldFolder_ = HeldFolder::take(fs_, watchDirectory);
    watchDirectory_ = heldFolder_->path();
    progress_.resetRun();
    queue_.submit([this, folder = *watchDirectory_] {
        recovery_.recover(folder, settings_->formatStrategy(), settings_->key);
    });
    scheduler_.start(*watchDirectory_);
    control_.setRunning(true);
}

void FolderCompressor::stop() {
    for (const auto& process : control_.requestStop())
        process->terminate();
    scheduler_.stop();
    recorder_.cancelScheduledSave();
    progress_.stopTimer();
    if (!queue_.isCurrent())
        queue_.waitUntilIdle();
    recorder_.saveNow();
    heldFolder_.reset();
    detector_.clear();
    progress_.endRun();
}

bool FolderCompressor::folderStillHeld() {
    assert(queue_.isCurrent());
    if (control_.cancellationRequested() || !heldFolder_)
        return false;
    const auto presence = heldFolder_->presence();
    if (presence == FolderLock::Presence::atPath)
        return true;
    NativeLog::write("The watched folder " + displayPath(heldFolder_->path()) +
                     (presence == FolderLock::Presence::removed ? " was removed"
                                                                : " was moved away or replaced") +
                     "; nothing more is done in it until it is locked again");
    // What is at the path now may be another engine's: no scan and no file starts there.
    control_.setCancellationRequested(true);
    if (onFolderLost)
        onFolderLost();
    return false;
}

void FolderCompressor::scanNow() {
    queue_.submit([this] { scan(); });
    queue_.waitUntilIdle();
}

void FolderCompressor::listFolder(const fs::path& folder) {
    assert(queue_.isCurrent());
    std::vector<DirectoryEntry> entries;
    try {
        entries = fs_.list(folder);
    } catch (const std::exception&) {
        listing_ = ScanListing();
        return;
    }
    recorder_.reserveForFolder(entries.size());
    detector_.forgetVanished(entries);
    listing_ = ScanListing(std::move(entries), folder);
    for (const auto& other : listing_.others())
        detector_.reportUnsupportedIfNeeded(other);
}

void FolderCompressor::scan() {
    assert(queue_.isCurrent());
    if (!folderStillHeld())
        return;
    const fs::path folder = *watchDirectory_;
    const auto folderAttributes = fs_.attributes(folder);
    detector_.beginScan(folderAttributes ? std::optional<Date>(folderAttributes->modificationDate)
                                         : std::nullopt);
    listFolder(folder);
    // Processing never lists the folder again, so the candidates stay put for the loop.
    const auto& candidates = listing_.candidates();
    detector_.dropVanishedPending();
    NativeLog::debug("Scan " + displayPath(folder) + " files=" + std::to_string(candidates.size()));

    // Every candidate is judged before any is processed, so the batch's size is known to
    // the progress bar and several files can be started at once.
    std::vector<fs::path> batch;
    for (const auto& file : candidates) {
        if (control_.cancellationRequested())
            return;
        if (!detector_.shouldSkip(file))
            batch.push_back(file);
    }
    if (!batch.empty()) {
        runJobs(batch);
        if (control_.cancellationRequested())
            return;
        if (options_.pauseAfterFile > 0) {
            std::this_thread::sleep_for(std::chrono::duration<double>(options_.pauseAfterFile));
        }
    }
    const bool settled = batch.empty() && detector_.pendingCount() == 0;
    scheduler_.afterScan(settled, detector_.pendingCount(), detector_.secondsUntilFirstStable());
    if (onScanFinished)
        onScanFinished(settled);
}

void FolderCompressor::runJobs(const std::vector<fs::path>& files) {
    assert(queue_.isCurrent());
    progress_.beginBatch(static_cast<int>(files.size()));
    // However the batch ends, the panel stops showing it; declared before the runner, so
    // that every worker has been joined by then.
    struct BatchEnd {
        BatchProgress& progress;
        ~BatchEnd() {
            progress.endBatch();
            // The batch's buffers were kept for its next file; none is coming soon.
            releaseFreeHeapMemory();
        }
    } batchEnd{progress_};
    const FileJobContext context{fs_,
                                 codec_,
                                 control_,
                                 installer_,
                                 ownership_,
                                 progress_,
                                 queue_,
                                 settings_,
                                 listing_,
                                 watchDirectory_,
                                 onBeforeDestructiveInstallForTesting,
                                 [this](const FileOutcome& outcome) { apply(outcome); }};
    JobRunner(options_.jobs, control_)
        .run(
            files,
            [&context](const fs::path& file) { return std::make_unique<FileJob>(file, context); },
            [this](std::size_t inFlight) {
                // Looked at between stages, so a folder lost mid-batch gets no new file.
                folderStillHeld();
                progress_.setInFlight(static_cast<int>(inFlight));
                if (inFlight > 0)
                    progress_.emitProgress();
            });
}

void FolderCompressor::apply(const FileOutcome& outcome) {
    assert(queue_.isCurrent());
    using Kind = FileOutcome::Kind;
    const fs::path& file = outcome.source;
    for (const auto& removed : outcome.removed)
        detector_.forgetHandled(removed);
    switch (outcome.kind) {
    case Kind::cancelled:
        NativeLog::write("Processing cancelled " + displayName(file));
        return;
    case Kind::sourceChanged:
        detector_.forget(file);
        NativeLog::write("Source changed during processing; retry deferred " + displayName(file));
        break;
    case Kind::failed:
        recordFailure(file, outcome.message, outcome.userMessage, outcome.lasting);
        break;
    case Kind::withoutOriginal:
        NativeLog::write("Own result without a kept original left as it is " + displayName(file));
        rememberHandled(file);
        recorder_.leaveAlone(file, LeftAloneReason::withoutOriginal, settingsKey());
        break;
    case Kind::empty:
    case Kind::outputFresh:
    case Kind::alreadyOptimal:
    case Kind::compressed:
        recordResult(outcome);
        break;
    }
    progress_.fileEnded();
}

void FolderCompressor::rememberHandled(const fs::path& file) {
    if (const auto signature = fileSignature(fs_, file))
        detector_.rememberHandled(file, *signature);
}

void FolderCompressor::recordResult(const FileOutcome& outcome) {
    using Kind = FileOutcome::Kind;
    const fs::path& file = outcome.source;
    const fs::path& output = outcome.output;
    std::optional<CompressionHistoryEntry> row;
    switch (outcome.kind) {
    case Kind::empty:
        if (const auto signature = fileSignature(fs_, file))
            detector_.rememberDealtWith(file, *signature);
        break;
    case Kind::outputFresh:
        rememberHandled(file);
        rememberHandled(output);
        rememberProcessed(file, ProcessedDecision::existingOutputFresh);
        break;
    case Kind::alreadyOptimal:
        rememberHandled(file);
        rememberProcessed(file, ProcessedDecision::alreadyOptimal);
        if (onEvent)
            onEvent(CompressionNotificationEvent(
                CompressionNotificationEvent::AlreadyOptimal{standardized(file)}));
        row = historyRow(file, file, outcome.originalBytes, outcome.originalBytes,
                         CompressionHistoryStatus::alreadyOptimal);
        break;
    case Kind::compressed:
        recordInstalled(file, output);
        row = historyRow(file, output, outcome.originalBytes, outcome.outputBytes,
                         CompressionHistoryStatus::compressed);
        break;
    default:
        break;
    }
    const bool wrote = outcome.kind == Kind::compressed;
    const std::int64_t saved = wrote ? outcome.originalBytes - outcome.outputBytes : 0;
    NativeLog::write("Processed " + displayName(file) + " wrote=" + (wrote ? "true" : "false") +
                     " saved=" + std::to_string(saved));
    if (wrote)
        progress_.fileWritten(saved);
    if (row && onHistory)
        onHistory(*row);
}

void FolderCompressor::recordInstalled(const fs::path& file, const fs::path& output) {
    // Every memory of a new output is made here: the detector's (this run) and the
    // registry's (later runs); the output's mark was stamped before it was installed.
    const bool sourceRemains =
        settings_->originalPolicy() == OriginalPolicy::keep || sameFile(output, file);
    if (sourceRemains) {
        rememberHandled(file);
    } else {
        detector_.forget(file);
    }
    if (const auto signature = fileSignature(fs_, output)) {
        detector_.rememberHandled(output, *signature);
        detector_.rememberRecentWrite(output, *signature);
    }
    rememberProcessed(output, ProcessedDecision::compressed);
    if (!sameFile(output, file))
        rememberProcessed(file, ProcessedDecision::existingOutputFresh);
    OwnWrite own;
    if (const auto attributes = fs_.attributes(output))
        own.size = static_cast<std::int64_t>(attributes->size);
    own.fingerprint = contentFingerprint(fs_, output);
    own.date = now();
    detector_.rememberOwnWrite(output, std::move(own));
}

void FolderCompressor::recordFailure(const fs::path& file, const std::string& message,
                                     const std::string& userMessage, bool lasting) {
    assert(queue_.isCurrent());
    NativeLog::write("Process error " + displayPath(file) + ": " + message);
    progress_.fileFailed();
    if (const auto signature = fileSignature(fs_, file))
        detector_.rememberDealtWith(file, *signature);
    // Tried again on every start, a damaged file would raise the same notice and add the
    // same history row each time.
    if (lasting)
        recorder_.leaveAlone(file, LeftAloneReason::failed, settingsKey());
    if (onEvent)
        onEvent(CompressionNotificationEvent(
            CompressionNotificationEvent::ProcessingFailed{standardized(file), userMessage}));
    if (onHistory) {
        CompressionHistoryEntry entry;
        entry.id = Uuid::random();
        entry.date = now();
        entry.sourceURL = standardized(file);
        if (const auto attributes = fs_.attributes(file)) {
            entry.originalBytes = static_cast<std::int64_t>(attributes->size);
        }
        entry.status = CompressionHistoryStatus::failed;
        entry.message = userMessage;
        onHistory(entry);
    }
}

void FolderCompressor::report(const CompressionNotificationEvent& event) {
    if (onEvent)
        onEvent(event);
}

void FolderCompressor::recordUnsupported(const fs::path& file) {
    assert(queue_.isCurrent());
    recorder_.leaveAlone(file, LeftAloneReason::unsupported, settingsKey());
}

std::string FolderCompressor::settingsKey() const {
    return settings_->key;
}

std::vector<fs::path> FolderCompressor::removeStaleOutputs(const fs::path& source) {
    assert(queue_.isCurrent());
    const auto predicted = ownership_.predictedOutput(source, *settings_);
    if (!predicted)
        return {};
    return ownership_.removeStaleOutputs(source, *predicted, listing_, *settings_);
}

bool FolderCompressor::registryCanSkip(const fs::path& source) {
    assert(queue_.isCurrent());
    return ownership_.recordedResultHolds(source, *settings_);
}

bool FolderCompressor::recogniseMarkedOutput(const fs::path& file) {
    assert(queue_.isCurrent());
    if (!ownership_.isCurrentOutput(file, settings_->key))
        return false;
    NativeLog::write("Recognised own output " + displayName(file));
    rememberProcessed(file, ProcessedDecision::compressed);
    return true;
}

void FolderCompressor::rememberProcessed(const fs::path& file, ProcessedDecision decision) {
    recorder_.record(file, decision, settingsKey());
}

CompressionHistoryEntry FolderCompressor::historyRow(const fs::path& source, const fs::path& output,
                                                     std::int64_t originalBytes,
                                                     std::int64_t outputBytes,
                                                     CompressionHistoryStatus status) const {
    CompressionHistoryEntry entry;
    entry.date = now();
    entry.sourceURL = standardized(source);
    entry.outputURL = standardized(output);
    entry.originalBytes = originalBytes;
    entry.outputBytes = outputBytes;
    entry.status = status;
    return entry;
}

} // namespace velk
