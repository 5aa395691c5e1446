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
          AppConfig{}, options_.toolTimeLimitBase, options_.toolTimeLimitPerMegapixel))) {}

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
    folderLock_.reset();
    detector_.clear();
    progress_.endRun();
}

void FolderCompressor::scanNow() {
    queue_.submit([this] { scan(); });
    queue_.waitUntilIdle();
}

void FolderCompressor::listFolder(const fs::path& folder) {
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
    if (control_.cancellationRequested() || !watchDirectory_)
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

    progress_.beginBatch(static_cast<int>(files.size()));
    // However the batch ends, the panel stops showing it; declared before the jobs, so
    // that every worker has been joined by then.
    struct BatchEnd {
        FolderCompressor& engine;
        ~BatchEnd() {
            engine.progress_.endBatch();
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
        progress_.setInFlight(static_cast<int>(jobs.size()));
        if (jobs.empty())
            break;
        progress_.emitProgress();
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
        if (result.didWrite)
            progress_.fileWritten(result.savedBytes);
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
    progress_.fileEnded();
}

void FolderCompressor::recordFailure(const fs::path& file, const std::string& message) {
    NativeLog::write("Process error " + displayPath(file) + ": " + message);
    progress_.fileFailed();
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
    return settings_->key;
}

bool FolderCompressor::canWrite(ImageFormat format) const {
    return EngineCapabilities(codec_).canWrite(format);
}

std::vector<fs::path> FolderCompressor::removeStaleOutputs(const fs::path& source) {
    const auto predicted = ownership_.predictedOutput(source, *settings_);
    if (!predicted)
        return {};
    return ownership_.removeStaleOutputs(source, *predicted, listing_, *settings_);
}

bool FolderCompressor::registryCanSkip(const fs::path& source) {
    return ownership_.recordedResultHolds(source, *settings_);
}

bool FolderCompressor::recogniseMarkedOutput(const fs::path& file) {
    if (!ownership_.isCurrentOutput(file, settings_->key))
        return false;
    NativeLog::write("Recognised own output " + displayName(file));
    rememberProcessed(file, ProcessedDecision::compressed);
    return true;
}

void FolderCompressor::rememberProcessed(const fs::path& file, ProcessedDecision decision) {
    recorder_.record(file, decision, settingsKey());
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
    if (settings_->originalPolicy() == OriginalPolicy::replace) {
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
               }).makePlan(file, settings_->formatStrategy());
    job.control.checkpoint();
    job.output = outputPathFor(file, job.plan.source, job.plan.target, settings_->originalPolicy());
}

void FolderCompressor::decide(Job& job) {
    if (job.shortcut != Job::Shortcut::none)
        return;
    refuseSharedOutput(job.file, job.output);
    for (const auto& removed :
         ownership_.removeStaleOutputs(job.file, job.output, listing_, *settings_))
        detector_.forgetHandled(removed);
    if (existingOutputIsFresh(fs_, settings_->originalPolicy(), job.file, job.output)) {
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
                         settings_->toolTimeLimitBase, settings_->toolTimeLimitPerMegapixel));
    progress_.encodeBegan(&job, job.plan.target, job.size);
    struct EncodeEnd {
        BatchProgress& progress;
        const Job& job;
        ~EncodeEnd() { progress.encodeEnded(&job); }
    } encodeEnd{progress_, job};

    // The writer takes the raster and lets go of it as soon as it can, so that the
    // checks of the outputs never hold a second image beside it. The decode below, after
    // the mark, is the one check of the bytes installed.
    ImagePlan handedOver = job.plan;
    job.plan.image.reset();
    ImageWriter(codec_, job.control, /*outputDecodedAfterwards=*/true)
        .writeImage(file, job.temp, std::move(handedOver), settings_->config);
    job.control.checkpoint();

    validateTemporaryFile(fs_, job.temp);
    // The mark keeps this file known as ours under any name and without the registry;
    // the decode afterwards proves the mark left the file readable.
    stampOutputMark(fs_, job.temp, settings_->key,
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

    if (settings_->originalPolicy() == OriginalPolicy::keep) {
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

    if (settings_->originalPolicy() == OriginalPolicy::keep || sameFile(output, file)) {
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
    const auto other = ownership_.otherSourceWithOutput(file, output, listing_, *settings_);
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

} // namespace velk
