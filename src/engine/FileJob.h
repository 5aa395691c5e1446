#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/BackupFolder.h"
#include "engine/BatchProgress.h"
#include "engine/EngineControl.h"
#include "engine/FileSignature.h"
#include "engine/ImagePlan.h"
#include "engine/JobRunner.h"
#include "engine/OutputOwnership.h"
#include "engine/RunSettings.h"
#include "engine/SafeInstaller.h"
#include "engine/ScanListing.h"
#include "engine/SourceVersion.h"
#include "platform/FileSystem.h"
#include "platform/ImageCodec.h"
#include "platform/ScratchFolder.h"
#include "platform/SerialQueue.h"

namespace velk {

/// How one file's processing ended: all a job hands back, for the engine to record.
struct FileOutcome {
    enum class Kind {
        /// Stopped with the engine: nothing is recorded.
        cancelled,
        /// Changed while it was processed: looked at again once it settles.
        sourceChanged,
        failed,
        /// Empty: left alone until it changes.
        empty,
        /// Its output exists and is newer than it.
        outputFresh,
        /// No result worth keeping.
        alreadyOptimal,
        /// A smaller output was installed.
        compressed,
        /// Our own result under replace whose original is not kept: encoding it again
        /// could only lose more, so it stays as it is under any settings.
        withoutOriginal,
    };
    Kind kind = Kind::failed;
    std::filesystem::path source;
    /// The fresh output (outputFresh) or the one installed (compressed).
    std::filesystem::path output;
    std::int64_t originalBytes = 0;
    std::int64_t outputBytes = 0;
    /// Why it failed: the log's English line, and the text a person sees, in the run's
    /// interface language.
    std::string message;
    std::string userMessage;
    /// A failure of the file itself (damaged, too large, refused by a tool), which trying
    /// again cannot mend until it changes; not one of its surroundings (a full disk, a
    /// folder it may not write), which may be gone by the next start.
    bool lasting = false;
    /// What the job removed (stale outputs, an output it took back), for the engine to
    /// forget.
    std::vector<std::filesystem::path> removed;
};

/// What the jobs of one batch share. The services are safe from any thread, or used only
/// by the stages on the queue (installer, ownership, listing).
struct FileJobContext {
    FileSystem& fs;
    const ImageCodec& codec;
    EngineControl& engineControl;
    SafeInstaller& installer;
    OutputOwnership& ownership;
    BatchProgress& progress;
    const SerialQueue& queue;
    std::shared_ptr<const RunSettings> settings;
    const ScanListing& listing;
    std::optional<std::filesystem::path> watchDirectory;
    const std::function<void(const std::filesystem::path&)>& beforeDestructiveInstall;
    /// Called on the queue with each file's end.
    std::function<void(const FileOutcome&)> apply;
};

/// One file in flight: its state and its stages. Planning (reading the source and
/// decoding it) and encoding run on a worker and read only what the job holds; deciding
/// (against the folder's other files) and installing run on the queue. The job records
/// nothing itself: its end is a FileOutcome.
class FileJob : public JobRunner::Job {
public:
    FileJob(std::filesystem::path file, const FileJobContext& context);

    void plan() override;
    bool decide() override;
    void encode() override;
    void finish(std::exception_ptr error) override;

private:
    /// A source's state when processing began, cheap enough to take for every file.
    struct SourceSnapshot {
        FileSignature signature;
        std::optional<ContentFingerprint> fingerprint;
    };
    /// A file that needs no encode, decided before one starts.
    enum class Shortcut { none, emptySource, outputFresh, withoutOriginal };

    FileOutcome install();
    /// Re-made from its original, the result is not smaller than the original: the
    /// original itself goes back in the file's place.
    FileOutcome putOriginalBack();
    /// What the encoders read: the kept original when the file is re-made from it.
    const std::filesystem::path& encodedSource() const {
        return original_ ? original_->backup : file_;
    }
    FileOutcome outcome(FileOutcome::Kind kind);
    void requireSourceUnchangedSince(const SourceSnapshot& before) const;
    void refuseSharedOutput() const;
    void refuseForeignOutput() const;
    /// Under replace: the beside-output that an earlier run under keep made from exactly
    /// this source with these settings, to install instead of encoding the source again.
    std::optional<std::filesystem::path> reusableBesideOutput() const;
    /// Takes the reusable beside-output as the result; false (nothing taken) when it no
    /// longer is one.
    bool copyReusableOutput();
    void removeBesideOutputsUnderReplace();

    const FileJobContext& context_;
    const std::filesystem::path file_;
    // What the worker stages read besides the job's own state: services safe from any
    // thread, and the run's settings as they were when the batch began.
    FileSystem& fs_;
    const ImageCodec& codec_;
    BatchProgress& progress_;
    const std::shared_ptr<const RunSettings> settings_;
    /// This file's own tool time limit; the engine's stop reaches it.
    EngineControl control_;

    // Written by one stage, read by the next: the runner orders them.
    Shortcut shortcut_ = Shortcut::none;
    std::optional<SourceVersion> version_;
    /// What every mark names as its source, and what ties an output to this source.
    std::optional<Sha256::Digest> sourceDigest_;
    std::optional<std::filesystem::path> reuse_;
    /// Under replace, when the file is our own result: the verified original it is
    /// re-made from. No second backup is made; the previous result is ours and may go.
    std::optional<KeptOriginal> original_;
    std::optional<ItemAttributes> sourceAttributes_;
    std::optional<SourceSnapshot> before_;
    std::int64_t size_ = 0;
    ImagePlan plan_;
    std::filesystem::path output_;
    std::optional<ScratchFolder> scratch_;
    std::filesystem::path temp_;
    std::int64_t newSize_ = 0;
    std::vector<std::filesystem::path> removed_;
};

} // namespace velk
