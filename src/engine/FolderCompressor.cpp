#include "engine/FolderCompressor.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <future>
#include <sstream>
#include <thread>

#include "core/Constants.h"
#include "core/Error.h"
#include "core/FileError.h"
#include "core/NativeLog.h"
#include "core/Paths.h"
#include "core/Text.h"
#include "engine/EngineCapabilities.h"
#include "engine/ImagePlan.h"
#include "engine/OutputMark.h"
#include "engine/OutputNaming.h"
#include "engine/SourceVersion.h"
#include "engine/Validation.h"
#include "engine/encoders/ExternalTools.h"
#include "engine/encoders/ImageWriter.h"
#include "platform/ChildProcess.h"
#include "platform/HeapTuning.h"
#include "platform/ScratchFolder.h"

namespace velk {

namespace fs = std::filesystem;

namespace {
double estimatedEncodeSeconds(ImageFormat target, std::int64_t size) {
    double base = 1.4;
    double perMB = 1.5;
    switch (target) {
    case ImageFormat::jpeg:
        base = 1.2, perMB = 1.4;
        break;
    case ImageFormat::png:
        base = 1.8, perMB = 1.8;
        break;
    case ImageFormat::webp:
        base = 1.6, perMB = 1.6;
        break;
    case ImageFormat::avif:
    case ImageFormat::heic:
        base = 1.4, perMB = 1.5;
        break;
    }
    const double mb = std::max(static_cast<double>(size) / 1'000'000.0, 0.25);
    return std::clamp(base + mb * perMB, 2.5, 18.0);
}

std::string secondsText(double seconds) {
    std::ostringstream text;
    text << seconds;
    return text.str();
}

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
    : fs_(fs), codec_(codec), options_(std::move(options)), registry_(fs, options_.registryFile),
      installer_(fs, control_, options_.clock),
      detector_(
          fs, registry_, *this, [this] { return now(); }, monotonicClockFor(options_.clock)) {}

FolderCompressor::~FolderCompressor() {
    stop();
}

Date FolderCompressor::now() const {
    return options_.clock ? options_.clock() : std::chrono::system_clock::now();
}

void FolderCompressor::start(const AppConfig& config, const fs::path& watchDirectory) {
    stop();
    control_.setCancellationRequested(false);
    config_ = config;
    watchDirectory_ = standardized(watchDirectory);
    detector_.clear();

    const auto attributes = fs_.attributes(*watchDirectory_);
    if (!attributes || !attributes->isDirectory) {
        throw FileError(FileError::Kind::readNoSuchFile, *watchDirectory_);
    }
    try {
        folderLock_ = FolderLock::lockFolder(*watchDirectory_);
    } catch (const FolderLockError& error) {
        if (error.kind() == FolderLockError::Kind::held)
            throw;
        // A file system without locks still gets compressed, as before locks existed.
        NativeLog::write(std::string("Folder lock unavailable: ") + error.what() + " " +
                         error.code().message());
    }
    {
        std::scoped_lock lock(statsMutex_);
        stats_ = CompressionStats{};
    }
    emitStats(stats_);
    queue_.submit([this, folder = *watchDirectory_] { recoverInterruptedWork(folder); });
    startWatching(*watchDirectory_);
    scheduleScan();
    control_.setRunning(true);
}

void FolderCompressor::stop() {
    for (const auto& process : control_.requestStop())
        process->terminate();
    std::unique_ptr<FolderWatcher> watcher;
    {
        std::scoped_lock lock(scheduleMutex_);
        workItem_.cancel();
        timer_.cancel();
        stabilityWake_.cancel();
        registryFlush_.cancel();
        watcher = std::move(watcher_);
    }
    // Joined outside the lock: its reader may be waiting for the lock to schedule a scan.
    watcher.reset();
    eventDriven_ = false;
    stopSmoothProgress();
    if (!queue_.isCurrent())
        queue_.waitUntilIdle();
    registryFlushScheduled_ = false;
    registry_.saveIfChanged();
    folderLock_.reset();
    detector_.clear();
    CompressionStats snapshot;
    {
        std::scoped_lock lock(statsMutex_);
        stats_.active = 0;
        stats_.progress.reset();
        snapshot = stats_;
    }
    emitStats(snapshot);
}

void FolderCompressor::emitStats(const CompressionStats& stats) {
    if (onStats)
        onStats(stats);
}

void FolderCompressor::startWatching(const fs::path& folder) {
    const std::string polling =
        "Watching " + displayPath(folder) +
        (options_.pollingInterval > 0
             ? " by polling every " + secondsText(options_.pollingInterval) + " s"
             : std::string(" by scans on request only"));
    if (!options_.watchEvents) {
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
        auto watcher = options_.makeWatcher
                           ? options_.makeWatcher(folder, std::move(handler))
                           : std::make_unique<FolderWatcher>(folder, std::move(handler));
        std::scoped_lock lock(scheduleMutex_);
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

void FolderCompressor::watcherSignalled(FolderWatcher::Signal signal) {
    switch (signal) {
    case FolderWatcher::Signal::changed:
        break;
    case FolderWatcher::Signal::overflow:
        // The watch itself goes on: one scan looks at every file, and events carry on.
        NativeLog::write("Change events overflowed; scanning the whole folder");
        break;
    case FolderWatcher::Signal::lost:
        NativeLog::write("Change events ended for the folder; polling every " +
                         secondsText(options_.pollingInterval) + " s");
        eventDriven_ = false;
        startPolling();
        break;
    }
    scheduleScan();
}

void FolderCompressor::afterScan(bool settled) {
    if (!eventDriven_)
        return;
    if (!settled && detector_.pendingCount() == 0)
        scheduleScan();
    const auto wait = detector_.secondsUntilFirstStable();
    if (!wait)
        return;
    std::scoped_lock lock(scheduleMutex_);
    if (control_.cancellationRequested())
        return;
    stabilityWake_.cancel();
    // The queue's timers never fire early; the margin only covers the rounding of the
    // wait into the clock's ticks, so the file is surely due when the scan looks at it.
    stabilityWake_ = queue_.submitAfter(*wait + 0.0001, [this] { scan(); });
}

void FolderCompressor::flushRegistrySoon() {
    if (registryFlushScheduled_)
        return;
    std::scoped_lock lock(scheduleMutex_);
    if (control_.cancellationRequested())
        return;
    registryFlushScheduled_ = true;
    registryFlush_ = queue_.submitAfter(options_.registrySaveInterval, [this] {
        registryFlushScheduled_ = false;
        registry_.saveIfChanged();
    });
}

void FolderCompressor::startPolling() {
    if (options_.pollingInterval <= 0)
        return;
    // The queue is destroyed before anything else of the engine and never runs a task
    // after that, so the timer may hold the engine directly.
    std::scoped_lock lock(scheduleMutex_);
    if (control_.cancellationRequested())
        return;
    timer_ = queue_.scheduleRepeating(options_.pollingInterval, [this] { scheduleScan(); });
}

void FolderCompressor::scheduleScan() {
    // A polling tick may reach here while stop() runs on another thread.
    std::scoped_lock lock(scheduleMutex_);
    if (control_.cancellationRequested())
        return;
    // Each request pushes the scan back by the debounce, but a file written without end (a
    // download, a log) sends events many times a second: past the longest wait the scan
    // runs anyway, or the folder's other files would never be looked at.
    const auto now = std::chrono::steady_clock::now();
    if (!firstUnscannedRequest_)
        firstUnscannedRequest_ = now;
    const double debounce = std::max(options_.scanDebounceInterval, 0.0);
    const double longest = std::max(debounce, velk::pollingInterval);
    const double waited = std::chrono::duration<double>(now - *firstUnscannedRequest_).count();
    workItem_.cancel();
    workItem_ = queue_.submitAfter(std::clamp(longest - waited, 0.0, debounce), [this] {
        {
            std::scoped_lock lock(scheduleMutex_);
            firstUnscannedRequest_.reset();
        }
        scan();
    });
}

void FolderCompressor::scanNow() {
    queue_.submit([this] { scan(); });
    queue_.waitUntilIdle();
}

namespace {
// The checks that need only the file's name, cheap enough for every entry of every scan.
bool isIgnoredName(std::string_view name, std::string_view stem, const std::string& extension) {
    if (name.empty())
        return true;
    if (name.front() == '.')
        return true;
    if (name.substr(0, 2) == "~$")
        return true;
    if (name.find(tempFileMarker) != std::string::npos ||
        name.find(replaceFileMarker) != std::string::npos) {
        return true;
    }
    if (isTemporaryExtension(extension))
        return true;
    return stem.ends_with(compressedFileSuffix);
}

// Name, stem and lower-cased extension of a listed entry, read off its text: building
// path objects for each of thousands of entries every second is most of an idle scan.
struct NameParts {
    std::string_view name;
    std::string_view stem;
    std::string extension;
};

NameParts nameParts(const fs::path& file) {
    const std::string& text = file.native();
    const auto slash = text.rfind('/');
    NameParts parts;
    parts.name = std::string_view(text).substr(slash == std::string::npos ? 0 : slash + 1);
    const auto dot = parts.name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || parts.name == "..") {
        parts.stem = parts.name;
    } else {
        parts.stem = parts.name.substr(0, dot);
        parts.extension = asciiLowercase(parts.name.substr(dot + 1));
    }
    return parts;
}
} // namespace

bool shouldIgnore(const fs::path& file, const fs::path& folder) {
    if (isIgnoredName(file.filename().native(), file.stem().native(), lowercaseExtension(file))) {
        return true;
    }
    const std::string filePath = standardized(file).native();
    const std::string backupComponent = "/" + std::string(backupDirName);
    const auto at = filePath.find(backupComponent);
    if (at != std::string::npos) {
        const std::size_t end = at + backupComponent.size();
        if (end == filePath.size() || filePath[end] == '/')
            return true;
    }
    const std::string folderPath = standardized(folder).native();
    if (filePath == folderPath)
        return false;
    const bool descendant = filePath.size() > folderPath.size() &&
                            filePath.compare(0, folderPath.size(), folderPath) == 0 &&
                            (folderPath == "/" || filePath[folderPath.size()] == '/');
    return !descendant;
}

const std::vector<fs::path>& FolderCompressor::supportedFiles(const fs::path& folder) {
    std::vector<fs::path>& candidates = scanSources_;
    candidates.clear();
    sourcesByStem_.reset();
    std::vector<DirectoryEntry> entries;
    try {
        entries = fs_.list(folder);
    } catch (const std::exception&) {
        return candidates;
    }
    registry_.reserveForFolder(entries.size());
    detector_.forgetVanished(entries);
    for (auto& entry : entries) {
        if (!entry.isRegularFile || entry.isHidden)
            continue;
        // A listed entry is a direct child of the folder (which is never the backup
        // folder), so only its name needs checking.
        const NameParts parts = nameParts(entry.path);
        if (isIgnoredName(parts.name, parts.stem, parts.extension))
            continue;
        if (isSupportedExtension(parts.extension)) {
            candidates.push_back(std::move(entry.path));
        } else {
            detector_.reportUnsupportedIfNeeded(entry.path);
        }
    }
    return candidates;
}

void FolderCompressor::scan() {
    if (control_.cancellationRequested() || !watchDirectory_)
        return;
    const fs::path folder = *watchDirectory_;
    const auto folderAttributes = fs_.attributes(folder);
    detector_.beginScan(folderAttributes ? std::optional<Date>(folderAttributes->modificationDate)
                                         : std::nullopt);
    // Processing never lists the folder again, so the candidates stay put for the loop.
    const auto& candidates = supportedFiles(folder);
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
    afterScan(settled);
    if (onScanFinished)
        onScanFinished(settled);
}

struct FolderCompressor::Job {
    enum class Stage { planning, planned, encoding, encoded, ended };
    /// A file that needs no encode, decided before one starts.
    enum class Shortcut { none, emptySource, outputFresh };

    Job(fs::path source, EngineControl& engineControl)
        : file(std::move(source)), control(engineControl) {}

    const fs::path file;
    /// This file's own tool time limit; the engine's stop reaches it.
    EngineControl control;

    // Written by the stage in progress; read by the next one once `stage` says so.
    Stage stage = Stage::planning;
    std::exception_ptr error;
    Shortcut shortcut = Shortcut::none;
    std::optional<SourceVersion> version;
    std::optional<ItemAttributes> sourceAttributes;
    std::optional<SourceSnapshot> before;
    std::int64_t size = 0;
    ImagePlan plan;
    fs::path output;
    std::optional<ScratchFolder> scratch;
    fs::path temp;
    std::int64_t newSize = 0;

    /// Last, so that it is joined before anything the worker touches goes away.
    std::future<void> worker;
};

void FolderCompressor::runJobs(const std::vector<fs::path>& files) {
    using Stage = Job::Stage;
    const std::size_t width = static_cast<std::size_t>(std::clamp(options_.jobs, 1, 4));
    std::uint64_t seenChanges = 0;
    // Hands a stage to a worker; the worker reports its end through jobsChanged_.
    const auto startStage = [this](Job& job, void (FolderCompressor::*stage)(Job&), Stage next) {
        job.worker = std::async(std::launch::async, [this, &job, stage, next] {
            std::exception_ptr error;
            try {
                (this->*stage)(job);
            } catch (...) {
                error = std::current_exception();
            }
            std::scoped_lock lock(jobsMutex_);
            job.error = error;
            job.stage = error ? Stage::ended : next;
            ++stageChanges_;
            jobsChanged_.notify_all();
        });
    };
    const auto stageOf = [this](const Job& job) {
        std::scoped_lock lock(jobsMutex_);
        return job.stage;
    };
    const auto endOnQueue = [this](Job& job, std::exception_ptr error) {
        std::scoped_lock lock(jobsMutex_);
        job.error = error;
        job.stage = Stage::ended;
    };
    // Sources of one stem share output names (and their stale outputs): one at a time,
    // so that each sees the other's work as it would one after the other.
    const auto sharesStem = [](const std::deque<std::unique_ptr<Job>>& jobs, const fs::path& file) {
        const std::string stem = asciiLowercase(file.stem().native());
        return std::any_of(jobs.begin(), jobs.end(), [&stem](const auto& job) {
            return asciiLowercase(job->file.stem().native()) == stem;
        });
    };

    {
        std::scoped_lock lock(statsMutex_);
        batch_ = BatchProgress{};
        batch_.total = static_cast<int>(files.size());
    }
    startSmoothProgress();
    // However the batch ends, the panel stops showing it; declared before the jobs, so
    // that every worker has been joined by then.
    struct BatchEnd {
        FolderCompressor& engine;
        ~BatchEnd() {
            engine.stopSmoothProgress();
            CompressionStats snapshot;
            {
                std::scoped_lock lock(engine.statsMutex_);
                engine.stats_.active = 0;
                engine.stats_.progress.reset();
                engine.batch_ = BatchProgress{};
                snapshot = engine.stats_;
            }
            engine.emitStats(snapshot);
            // The batch's buffers were kept for its next file; none is coming soon.
            releaseFreeHeapMemory();
        }
    } batchEnd{*this};
    std::deque<std::unique_ptr<Job>> jobs;
    // A file whose encode has ended waits for the files before it to be installed; it
    // holds no raster, so it does not take a worker's place: a small file behind a slow
    // one would otherwise leave a core idle. The wait is bounded all the same, and one
    // job means one file at a time, start to end.
    const auto working = [&] {
        return static_cast<std::size_t>(
            std::count_if(jobs.begin(), jobs.end(), [&](const auto& job) {
                const Stage stage = stageOf(*job);
                return stage != Stage::encoded && stage != Stage::ended;
            }));
    };
    const std::size_t waitingRoom = width == 1 ? 1 : 4 * width;
    std::size_t next = 0;
    for (;;) {
        const bool cancelled = control_.cancellationRequested();
        while (!cancelled && next < files.size() && jobs.size() < waitingRoom &&
               working() < width && !sharesStem(jobs, files[next])) {
            jobs.push_back(std::make_unique<Job>(files[next++], control_));
            startStage(*jobs.back(), &FolderCompressor::plan, Stage::planned);
        }
        {
            std::scoped_lock lock(statsMutex_);
            stats_.active = static_cast<int>(jobs.size());
        }
        if (jobs.empty())
            break;
        emitBatchProgress();
        {
            std::scoped_lock lock(jobsMutex_);
            seenChanges = stageChanges_;
        }
        // Decisions on shared state in the scan's order: a planned file decides once every
        // file before it has.
        bool earlierDecided = true;
        for (auto& job : jobs) {
            const Stage stage = stageOf(*job);
            if (stage == Stage::planned && earlierDecided) {
                job->worker.get();
                if (cancelled) {
                    endOnQueue(*job, std::make_exception_ptr(FolderCompressorControlError(
                                         FolderCompressorControlError::Kind::cancelled)));
                    continue;
                }
                try {
                    decide(*job);
                } catch (...) {
                    endOnQueue(*job, std::current_exception());
                    continue;
                }
                if (job->shortcut != Job::Shortcut::none) {
                    endOnQueue(*job, nullptr);
                } else {
                    {
                        std::scoped_lock lock(jobsMutex_);
                        job->stage = Stage::encoding;
                    }
                    startStage(*job, &FolderCompressor::encode, Stage::encoded);
                }
            } else if (stage == Stage::planning || stage == Stage::planned) {
                earlierDecided = false;
            }
        }
        // Installation and bookkeeping in the same order.
        bool finishedAny = false;
        while (!jobs.empty() && (stageOf(*jobs.front()) == Stage::encoded ||
                                 stageOf(*jobs.front()) == Stage::ended)) {
            std::unique_ptr<Job> job = std::move(jobs.front());
            jobs.pop_front();
            if (job->worker.valid())
                job->worker.get();
            finish(*job);
            finishedAny = true;
        }
        if (finishedAny)
            continue;
        std::unique_lock lock(jobsMutex_);
        jobsChanged_.wait(lock, [&] { return stageChanges_ != seenChanges; });
    }
}

void FolderCompressor::finish(Job& job) {
    const fs::path& file = job.file;
    try {
        if (job.error)
            std::rethrow_exception(job.error);
        const FolderCompressionResult result = install(job);
        NativeLog::write("Processed " + displayName(file) +
                         " wrote=" + (result.didWrite ? "true" : "false") +
                         " saved=" + std::to_string(result.savedBytes));
        if (result.didWrite) {
            std::scoped_lock lock(statsMutex_);
            stats_.done += 1;
            stats_.savedBytes += std::max<std::int64_t>(result.savedBytes, 0);
        }
        if (result.historyEntry && onHistory)
            onHistory(*result.historyEntry);
    } catch (const FolderCompressorControlError& error) {
        if (error.kind() == FolderCompressorControlError::Kind::cancelled) {
            NativeLog::write("Processing cancelled " + displayName(file));
            return;
        }
        detector_.forget(file);
        NativeLog::write("Source changed during processing; retry deferred " + displayName(file));
    } catch (const std::exception& error) {
        recordFailure(file, error.what());
    }
    // The scratch folder goes with the file's end, before the next report.
    job.scratch.reset();
    {
        std::scoped_lock lock(statsMutex_);
        batch_.done += 1;
    }
    emitBatchProgress();
}

void FolderCompressor::recordFailure(const fs::path& file, const std::string& message) {
    NativeLog::write("Process error " + displayPath(file) + ": " + message);
    {
        std::scoped_lock lock(statsMutex_);
        stats_.errors += 1;
    }
    if (const auto signature = fileSignature(fs_, file))
        detector_.rememberDealtWith(file, *signature);
    if (onEvent)
        onEvent(CompressionNotificationEvent(
            CompressionNotificationEvent::ProcessingFailed{standardized(file), message}));
    if (onHistory) {
        CompressionHistoryEntry entry;
        entry.id = Uuid::random();
        entry.date = now();
        entry.sourceURL = standardized(file);
        if (const auto attributes = fs_.attributes(file)) {
            entry.originalBytes = static_cast<std::int64_t>(attributes->size);
        }
        entry.status = CompressionHistoryStatus::failed;
        entry.message = message;
        onHistory(entry);
    }
}

void FolderCompressor::report(const CompressionNotificationEvent& event) {
    if (onEvent)
        onEvent(event);
}

std::string FolderCompressor::settingsKey() const {
    const QualitySettings& q = config_.qualities;
    return processingSettingsKey(rawValue(config_.preset), rawValue(config_.formatStrategy),
                                 rawValue(config_.originalPolicy), q.jpeg, q.png, q.webp, q.avif,
                                 q.heic);
}

bool FolderCompressor::canWrite(ImageFormat format) const {
    return EngineCapabilities(codec_).canWrite(format);
}

std::optional<fs::path> FolderCompressor::predictedOutput(const fs::path& source) {
    const auto sourceFormat = imageFormatFromExtension(lowercaseExtension(source));
    if (!sourceFormat)
        return std::nullopt;
    const auto target = predictedTargetFormat(
        source, config_.formatStrategy, [this](ImageFormat f) { return canWrite(f); }, codec_);
    if (!target)
        return std::nullopt;
    return outputPathFor(source, *sourceFormat, *target, config_.originalPolicy);
}

void FolderCompressor::removeStaleOutputs(const fs::path& source, const fs::path& keep) {
    if (config_.originalPolicy != OriginalPolicy::keep || !watchDirectory_)
        return;
    const fs::path kept = standardized(keep);
    for (const auto& candidate : besideOutputCandidates(source)) {
        if (standardized(candidate) == kept)
            continue;
        const auto attributes = fs_.attributes(candidate);
        // Only a file we made may go: a folder or a link under an output's name, or a
        // user's own image that merely has such a name, is none of the engine's business.
        if (!attributes || !attributes->isRegularFile || !isOwnOutput(candidate))
            continue;
        // Another source of the folder (photo.png beside photo.jpg) owns this name: its
        // output is not stale, and removing it would make the two re-encode each other
        // forever.
        if (producedByOtherSource(source, candidate))
            continue;
        try {
            fs_.removeFile(candidate);
            detector_.forgetHandled(candidate);
            NativeLog::write("Removed stale output " + displayName(candidate));
        } catch (const std::exception& error) {
            NativeLog::write("Could not remove stale output " + displayPath(candidate) + ": " +
                             error.what());
        }
    }
}

bool FolderCompressor::isOwnOutput(const fs::path& file) {
    // The mark outlives the registry's record (renamed, copied, registry lost).
    if (carriesValidOutputMark(file))
        return true;
    const auto record = registry_.record(file);
    if (!record || record->decision != ProcessedDecision::compressed)
        return false;
    const auto fingerprint = contentFingerprint(fs_, file);
    const auto signature = fileSignature(fs_, file);
    return fingerprint && signature && record->fingerprint == *fingerprint &&
           record->resourceIdentifier == signature->resourceIdentifier;
}

std::optional<fs::path> FolderCompressor::otherSourceWithOutput(const fs::path& source,
                                                                const fs::path& output) {
    const auto sources = sourcesWithStem(source);
    const fs::path kept = standardized(output);
    const fs::path self = standardized(source);
    for (const auto& other : sources) {
        if (standardized(other) == self)
            continue;
        if (const auto predicted = predictedOutput(other);
            predicted && standardized(*predicted) == kept) {
            return other;
        }
    }
    return std::nullopt;
}

std::vector<fs::path> FolderCompressor::sourcesWithStem(const fs::path& source) {
    // Built on first need only: with the folder unchanged, scans never sweep.
    if (!sourcesByStem_) {
        sourcesByStem_.emplace();
        for (const auto& candidate : scanSources_) {
            (*sourcesByStem_)[candidate.stem().native()].push_back(candidate);
        }
    }
    const auto found = sourcesByStem_->find(source.stem().native());
    if (found == sourcesByStem_->end())
        return {};
    return found->second;
}

bool FolderCompressor::producedByOtherSource(const fs::path& source, const fs::path& output) {
    return otherSourceWithOutput(source, output).has_value();
}

bool FolderCompressor::registryCanSkip(const fs::path& source) {
    if (config_.originalPolicy == OriginalPolicy::replace)
        return true;
    // Found already optimal with these very contents and settings: there is no output to
    // look for, and deciding it again after each start only repeated its history row.
    if (const auto record = registry_.record(source);
        record && record->decision == ProcessedDecision::alreadyOptimal) {
        return true;
    }
    const auto predicted = predictedOutput(source);
    return predicted && existingOutputIsFresh(fs_, config_.originalPolicy, source, *predicted);
}

bool FolderCompressor::recogniseMarkedOutput(const fs::path& file) {
    if (!isMarkedOutput(file, settingsKey()))
        return false;
    NativeLog::write("Recognised own output " + displayName(file));
    rememberProcessed(file, ProcessedDecision::compressed);
    return true;
}

void FolderCompressor::rememberProcessed(const fs::path& file, ProcessedDecision decision) {
    // Rewriting the whole registry for every decision made a backlog of small files
    // spend its time on the registry. Decisions are written at most once per interval
    // and at stop. What a crash in between loses is harmless: an output carries its mark
    // and is recognised without its record; a source whose fresh output exists is
    // decided again without an encode; an already optimal one is encoded once more to
    // the same answer.
    if (options_.registrySaveInterval <= 0) {
        registry_.remember(file, decision, settingsKey(), now());
        return;
    }
    if (registry_.remember(file, decision, settingsKey(), now(),
                           ProcessedFileRegistry::Save::later)) {
        flushRegistrySoon();
    }
}

namespace {
// A lossy re-encode into the source's own format that gains less than this share is not
// worth a generation of loss (nor, under replace, another full backup).
constexpr std::int64_t lossyGainFloorPercent = 1;

bool isWorthKeeping(const ImagePlan& plan, std::int64_t size, std::int64_t newSize) {
    if (plan.source != plan.target)
        return true;
    if (newSize >= size)
        return false;
    // PNG optimisation is lossless: any saving is a pure gain.
    if (plan.target == ImageFormat::png)
        return true;
    return (size - newSize) * 100 >= size * lossyGainFloorPercent;
}
} // namespace

void FolderCompressor::requireSourceUnchangedSince(const fs::path& file,
                                                   const SourceSnapshot& before) const {
    const auto signature = fileSignature(fs_, file);
    if (!signature || *signature != before.signature ||
        contentFingerprint(fs_, file) != before.fingerprint) {
        throw FolderCompressorControlError(FolderCompressorControlError::Kind::sourceChanged);
    }
}

void FolderCompressor::plan(Job& job) {
    const fs::path& file = job.file;
    job.control.checkpoint();
    if (config_.originalPolicy == OriginalPolicy::replace) {
        job.version = sourceVersion(fs_, job.control, file);
    }
    // What the result is made from: a source rewritten while it is encoded must not get
    // (or keep) an output of its old contents.
    job.sourceAttributes = fs_.attributes(file);
    if (!job.sourceAttributes)
        throw FileError(FileError::Kind::readNoSuchFile, file);
    job.before =
        SourceSnapshot{fileSignature(*job.sourceAttributes), contentFingerprint(fs_, file)};
    job.size = job.version ? job.version->signature.size : job.before->signature.size;
    if (job.size <= 0) {
        job.shortcut = Job::Shortcut::emptySource;
        return;
    }
    job.plan = ImagePlanner(codec_, [this](ImageFormat f) {
                   return canWrite(f);
               }).makePlan(file, config_.formatStrategy);
    job.control.checkpoint();
    job.output = outputPathFor(file, job.plan.source, job.plan.target, config_.originalPolicy);
}

void FolderCompressor::decide(Job& job) {
    if (job.shortcut != Job::Shortcut::none)
        return;
    refuseSharedOutput(job.file, job.output);
    removeStaleOutputs(job.file, job.output);
    if (existingOutputIsFresh(fs_, config_.originalPolicy, job.file, job.output)) {
        job.shortcut = Job::Shortcut::outputFresh;
        job.plan.image.reset();
    }
}

void FolderCompressor::encode(Job& job) {
    const fs::path& file = job.file;
    // Encoders and their tools write only inside a fresh folder of our own (0700), so no
    // name someone planted in the watched folder is followed or truncated; inside it a
    // short name will do, whatever the length of the source's. Each file has its own.
    fs_.createDirectories(job.output.parent_path());
    job.scratch.emplace(job.output.parent_path(), tempFileMarker);
    job.temp = job.scratch->path() / ("image" + job.output.extension().native());

    job.control.setToolTimeLimit(
        toolTimeLimitFor(job.plan.image->width() * job.plan.image->height(),
                         options_.toolTimeLimitBase, options_.toolTimeLimitPerMegapixel));
    {
        std::scoped_lock lock(statsMutex_);
        batch_.encoding[&job] = {std::chrono::steady_clock::now(),
                                 estimatedEncodeSeconds(job.plan.target, job.size)};
    }
    struct EncodeEnd {
        FolderCompressor& engine;
        const Job& job;
        ~EncodeEnd() {
            std::scoped_lock lock(engine.statsMutex_);
            engine.batch_.encoding.erase(&job);
        }
    } encodeEnd{*this, job};

    // The writer takes the raster and lets go of it as soon as it can, so that the
    // checks of the outputs never hold a second image beside it. The decode below, after
    // the mark, is the one check of the bytes installed.
    ImagePlan handedOver = job.plan;
    job.plan.image.reset();
    ImageWriter(codec_, job.control, /*outputDecodedAfterwards=*/true)
        .writeImage(file, job.temp, std::move(handedOver), config_);
    job.control.checkpoint();

    validateTemporaryFile(fs_, job.temp);
    // The mark keeps this file known as ours under any name and without the registry;
    // the decode afterwards proves the mark left the file readable.
    stampOutputMark(fs_, job.temp, settingsKey(),
                    job.version ? std::optional<Sha256::Digest>(job.version->digest)
                                : std::nullopt);
    job.newSize = validateEncodedImage(fs_, codec_, job.temp);
}

FolderCompressionResult FolderCompressor::install(Job& job) {
    const fs::path& file = job.file;
    if (job.shortcut == Job::Shortcut::emptySource) {
        if (const auto signature = fileSignature(fs_, file)) {
            detector_.rememberDealtWith(file, *signature);
        }
        return {};
    }
    const fs::path& output = job.output;
    if (job.shortcut == Job::Shortcut::outputFresh) {
        if (const auto signature = fileSignature(fs_, file))
            detector_.rememberHandled(file, *signature);
        if (const auto signature = fileSignature(fs_, output)) {
            detector_.rememberHandled(output, *signature);
        }
        rememberProcessed(file, ProcessedDecision::existingOutputFresh);
        return {};
    }
    const auto& version = job.version;
    const auto& sourceAttributes = job.sourceAttributes;
    const SourceSnapshot& before = *job.before;
    const fs::path& temp = job.temp;
    const std::int64_t size = job.size;
    const std::int64_t newSize = job.newSize;

    control_.checkpoint();
    requireSourceUnchangedSince(file, before);
    if (!isWorthKeeping(job.plan, size, newSize))
        return finishAlreadyOptimal(file, size);

    control_.checkpoint();
    if (version) {
        if (onBeforeDestructiveInstallForTesting)
            onBeforeDestructiveInstallForTesting(file);
        requireSourceUnchanged(fs_, control_, file, *version);
        installer_.backup(file, *version, watchDirectory_);
    }
    control_.checkpoint();

    // The result stands in for the original: never more readable than it, and under
    // replace it keeps the original's permissions and date as well.
    if (version) {
        fs_.setPermissionsAndTime(temp, sourceAttributes->permissions,
                                  version->signature.modifiedAt);
    } else if (const auto tempAttributes = fs_.attributes(temp)) {
        fs_.setPermissionsAndTime(temp, tempAttributes->permissions & sourceAttributes->permissions,
                                  std::nullopt);
    }

    if (config_.originalPolicy == OriginalPolicy::keep) {
        requireSourceUnchangedSince(file, before);
        installer_.replaceOutputFile(temp, output);
        try {
            requireSourceUnchangedSince(file, before);
        } catch (const FolderCompressorControlError&) {
            // Rewritten during the install: the output just made shows contents that are
            // gone, and its newer date would pass it off as fresh.
            try {
                fs_.removeFile(output);
            } catch (const std::exception&) {
            }
            detector_.forgetHandled(output);
            throw;
        }
    } else if (sameFile(output, file)) {
        installer_.replaceOriginalSafely(temp, file, *version);
    } else {
        installer_.replaceConvertedOriginalSafely(temp, output, file, *version);
    }

    if (config_.originalPolicy == OriginalPolicy::keep || sameFile(output, file)) {
        if (const auto signature = fileSignature(fs_, file))
            detector_.rememberHandled(file, *signature);
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
    if (const auto attributes = fs_.attributes(output)) {
        own.size = static_cast<std::int64_t>(attributes->size);
    }
    own.fingerprint = contentFingerprint(fs_, output);
    own.date = now();
    detector_.rememberOwnWrite(output, std::move(own));

    FolderCompressionResult result;
    result.didWrite = true;
    result.savedBytes = size - newSize;
    result.historyEntry =
        historyRow(file, output, size, newSize, CompressionHistoryStatus::compressed);
    return result;
}

void FolderCompressor::refuseSharedOutput(const fs::path& file, const fs::path& output) {
    // Two sources whose outputs would share one name (photo.jpg and photo.JPG, or
    // shot.png and shot.jpg converted to one format) would overwrite or shadow each
    // other. The first by name keeps the output; the others fail visibly.
    const auto other = otherSourceWithOutput(file, output);
    if (!other || other->filename().native() > file.filename().native())
        return;
    throw Error(displayName(file) + " was not compressed: its output name " + displayName(output) +
                " belongs to " + displayName(*other) + ". Rename one of the two files.");
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

FolderCompressionResult FolderCompressor::finishAlreadyOptimal(const fs::path& file,
                                                               std::int64_t size) {
    if (const auto signature = fileSignature(fs_, file))
        detector_.rememberHandled(file, *signature);
    rememberProcessed(file, ProcessedDecision::alreadyOptimal);
    if (onEvent)
        onEvent(CompressionNotificationEvent(
            CompressionNotificationEvent::AlreadyOptimal{standardized(file)}));
    FolderCompressionResult result;
    result.historyEntry =
        historyRow(file, file, size, size, CompressionHistoryStatus::alreadyOptimal);
    return result;
}

void FolderCompressor::emitBatchProgress() {
    const auto now = std::chrono::steady_clock::now();
    CompressionStats snapshot;
    {
        std::scoped_lock lock(statsMutex_);
        if (batch_.total <= 0)
            return;
        double done = batch_.done;
        for (const auto& [job, timing] : batch_.encoding) {
            // Eased towards 90 % of the file by its estimate: a bar that keeps moving,
            // without claiming the checks and the install that follow.
            const double t = std::chrono::duration<double>(now - timing.first).count() /
                             std::max(timing.second, 0.1);
            const double r = 1.0 - std::clamp(t, 0.0, 1.0);
            done += 0.9 * (1.0 - r * r);
        }
        const int percent = std::clamp(static_cast<int>(100.0 * done / batch_.total), 0, 100);
        batch_.shown = std::max(batch_.shown, percent);
        if (stats_.active == 0)
            return;
        stats_.progress = batch_.shown;
        snapshot = stats_;
    }
    emitStats(snapshot);
}

void FolderCompressor::startSmoothProgress() {
    stopSmoothProgress();
    emitBatchProgress();
    smoothProgressTimer_ = progressQueue_.scheduleRepeating(0.18, [this] { emitBatchProgress(); });
}

void FolderCompressor::stopSmoothProgress() {
    smoothProgressTimer_.cancel();
}

namespace {
// ".<stem>.velk-replace-<UUID>.<ext>" names a file moved aside during a swap; the name
// it came from is "<stem>.<ext>".
std::optional<std::string> originalNameOfAside(const std::string& name) {
    const std::string marker = std::string(replaceFileMarker) + "-";
    if (name.size() < 2 || name.front() != '.')
        return std::nullopt;
    const auto at = name.rfind(marker);
    if (at == std::string::npos || at < 1)
        return std::nullopt;
    const std::size_t uuidStart = at + marker.size();
    if (name.size() < uuidStart + 36 + 2 || name[uuidStart + 36] != '.')
        return std::nullopt;
    if (!Uuid::parse(std::string_view(name).substr(uuidStart, 36)))
        return std::nullopt;
    const std::string stem = name.substr(1, at - 1);
    const std::string extension = name.substr(uuidStart + 37);
    if (stem.empty() || extension.empty())
        return std::nullopt;
    return stem + "." + extension;
}
} // namespace

bool FolderCompressor::hasIdenticalBackup(const fs::path& folder, const fs::path& file,
                                          const std::string& originalName) {
    const auto attributes = fs_.attributes(file);
    if (!attributes)
        return false;
    const std::string prefix = fs::path(originalName).stem().native() + ".original";
    std::optional<Sha256::Digest> digest;
    for (const auto& copy : backupCopies(folder)) {
        if (copy.path.filename().native().rfind(prefix, 0) != 0)
            continue;
        const auto copyAttributes = fs_.attributes(copy.path);
        if (!copyAttributes || copyAttributes->size != attributes->size)
            continue;
        try {
            if (!digest)
                digest = sha256Digest(control_, file);
            if (sha256Digest(control_, copy.path) == *digest)
                return true;
        } catch (const std::exception&) {
            return false;
        }
    }
    return false;
}

std::optional<fs::path> FolderCompressor::finishedConversion(const fs::path& folder,
                                                             const fs::path& aside,
                                                             const std::string& originalName) {
    const fs::path original = folder / originalName;
    const auto sourceFormat = imageFormatFromExtension(lowercaseExtension(original));
    if (!sourceFormat)
        return std::nullopt;
    // The aside file is the source itself under another name, so it predicts the target.
    const auto target = predictedTargetFormat(
        aside, config_.formatStrategy, [this](ImageFormat f) { return canWrite(f); }, codec_);
    if (!target || *target == *sourceFormat)
        return std::nullopt;
    const fs::path output =
        outputPathFor(original, *sourceFormat, *target, OriginalPolicy::replace);
    const auto attributes = fs_.attributes(output);
    if (!attributes || !attributes->isRegularFile || attributes->size == 0)
        return std::nullopt;
    // The install comes only after a verified backup: without one, the aside file may be
    // the only copy of the image and must go back.
    if (!hasIdenticalBackup(folder, aside, originalName))
        return std::nullopt;
    // A marked output names the original it replaced; one made from another image is not
    // this conversion's result.
    if (carriesValidOutputMark(output)) {
        try {
            if (!isMarkedOutputOf(output, sha256Digest(control_, aside)))
                return std::nullopt;
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return output;
}

std::vector<DirectoryEntry> FolderCompressor::backupCopies(const fs::path& folder) {
    std::vector<DirectoryEntry> copies;
    std::vector<DirectoryEntry> days;
    try {
        days = fs_.list(folder / backupDirName);
    } catch (const std::exception&) {
        return copies;
    }
    for (const auto& day : days) {
        try {
            for (auto& copy : fs_.list(day.path)) {
                if (copy.isRegularFile)
                    copies.push_back(std::move(copy));
            }
        } catch (const std::exception&) {
        }
    }
    return copies;
}

void FolderCompressor::removeUnverifiedBackups(const fs::path& folder) {
    for (const auto& copy : backupCopies(folder)) {
        const std::string name = copy.path.filename().native();
        const auto attributes = fs_.attributes(copy.path);
        // A copy still under its scratch name was never verified; an empty one (left by
        // earlier versions, which copied under the final name) never held an image, since
        // empty sources are not processed.
        const bool scratch = copy.isHidden && name.find(tempFileMarker) != std::string::npos;
        if (!scratch && !(attributes && attributes->size == 0))
            continue;
        try {
            fs_.removeFile(copy.path);
            NativeLog::write("Removed unverified backup " + displayPath(copy.path));
        } catch (const std::exception& error) {
            NativeLog::write("Could not recover " + displayPath(copy.path) + ": " + error.what());
        }
    }
}

void FolderCompressor::recoverInterruptedWork(const fs::path& folder) {
    removeUnverifiedBackups(folder);
    std::vector<DirectoryEntry> entries;
    try {
        entries = fs_.list(folder);
    } catch (const std::exception&) {
        return;
    }
    // Recovery may record decisions before the first scan sizes the registry.
    registry_.reserveForFolder(entries.size());
    for (const auto& entry : entries) {
        const std::string name = entry.path.filename().native();
        if (!entry.isRegularFile) {
            if (!ScratchFolder::isScratchFolderName(name, tempFileMarker))
                continue;
            try {
                fs_.remove(entry.path);
                NativeLog::write("Removed leftover temporary folder " + displayName(entry.path));
            } catch (const std::exception& error) {
                NativeLog::write("Could not recover " + displayPath(entry.path) + ": " +
                                 error.what());
            }
            continue;
        }
        if (name.empty() || name.front() != '.')
            continue;
        try {
            if (const auto original = originalNameOfAside(name)) {
                const fs::path target = folder / *original;
                const bool besideOutput =
                    fs::path(*original).stem().native().ends_with(compressedFileSuffix);
                if (!fs_.exists(target)) {
                    if (const auto converted =
                            besideOutput ? std::nullopt
                                         : finishedConversion(folder, entry.path, *original)) {
                        // Killed after the converted result took its place: finish the
                        // job instead of bringing back a source whose result exists.
                        fs_.removeFile(entry.path);
                        rememberProcessed(*converted, ProcessedDecision::compressed);
                        NativeLog::write("Completed interrupted conversion " + displayName(target) +
                                         " to " + displayName(*converted));
                    } else {
                        fs_.move(entry.path, target);
                        NativeLog::write("Recovered interrupted swap " + displayName(target));
                    }
                } else if (besideOutput) {
                    fs_.removeFile(entry.path);
                    NativeLog::write("Removed leftover swap file " + displayName(entry.path));
                } else if (hasIdenticalBackup(folder, entry.path, *original)) {
                    // The source was backed up and set aside, so what holds its name is
                    // the result installed in its place (unless it is the source again).
                    if (contentFingerprint(fs_, target) != contentFingerprint(fs_, entry.path)) {
                        rememberProcessed(target, ProcessedDecision::compressed);
                    }
                    fs_.removeFile(entry.path);
                    NativeLog::write("Removed leftover swap file " + displayName(entry.path));
                } else {
                    NativeLog::write("Kept leftover swap file " + displayName(entry.path) +
                                     " (no backup of it was found)");
                }
            } else if (name.find(tempFileMarker) != std::string::npos) {
                fs_.removeFile(entry.path);
                NativeLog::write("Removed leftover temporary file " + displayName(entry.path));
            }
        } catch (const std::exception& error) {
            NativeLog::write("Could not recover " + displayPath(entry.path) + ": " + error.what());
        }
    }
}

} // namespace velk
