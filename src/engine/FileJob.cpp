#include "engine/FileJob.h"

#include <cassert>
#include <new>

#include "core/Constants.h"
#include "core/Error.h"
#include "core/FileError.h"
#include "core/Paths.h"
#include "engine/EncodeGate.h"
#include "engine/EngineCapabilities.h"
#include "engine/FolderCompressorControlError.h"
#include "engine/OutputMark.h"
#include "engine/OutputNaming.h"
#include "engine/Validation.h"
#include "engine/encoders/ExternalTools.h"
#include "engine/encoders/ImageWriter.h"

namespace velk {

namespace fs = std::filesystem;

namespace {

/// Another file holds the output's name: the source itself is fine.
class OutputNameClashError : public DescribedError {
public:
    using DescribedError::DescribedError;
};

} // namespace

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

bool sameFile(const fs::path& a, const fs::path& b) {
    return standardized(a) == standardized(b);
}

/// The key the run's settings would have with the sources kept: what a beside-output
/// made with exactly these settings carries.
std::string keptSettingsKey(const RunSettings& settings) {
    AppConfig kept = settings.config;
    kept.originalPolicy = OriginalPolicy::keep;
    return runSettings(kept, 0, 0).key;
}
} // namespace

FileJob::FileJob(fs::path file, const FileJobContext& context)
    : context_(context), file_(std::move(file)), fs_(context.fs), codec_(context.codec),
      progress_(context.progress), settings_(context.settings), control_(context.engineControl) {}

void FileJob::plan() {
    control_.checkpoint();
    if (settings_->originalPolicy() == OriginalPolicy::replace) {
        version_ = sourceVersion(fs_, control_, file_);
        // Our own result, made with other settings: only its original may be encoded.
        if (carriesValidOutputMark(fs_, file_)) {
            if (context_.watchDirectory)
                original_ = BackupFolder(fs_, *context_.watchDirectory).originalOf(file_, control_);
            if (!original_) {
                shortcut_ = Shortcut::withoutOriginal;
                return;
            }
        }
    }
    // What the result is made from: a source rewritten while it is encoded must not get
    // (or keep) an output of its old contents.
    sourceAttributes_ = fs_.attributes(file_);
    if (!sourceAttributes_)
        throw FileError(FileError::Kind::readNoSuchFile, file_);
    before_ = SourceSnapshot{fileSignature(*sourceAttributes_), contentFingerprint(fs_, file_)};
    size_ = original_  ? original_->size
            : version_ ? version_->signature.size
                       : before_->signature.size;
    if (size_ <= 0) {
        shortcut_ = Shortcut::emptySource;
        return;
    }
    // The mark names the source it was made from, so that only this source's own outputs
    // are ever swept away as stale; a rewrite since the snapshot fails the install.
    // A re-made result names the original it was made from, not the result it replaces.
    sourceDigest_ = original_  ? original_->digest
                    : version_ ? version_->digest
                               : sha256Digest(fs_, control_, file_);
    const ImagePlanner planner(
        codec_, [this](ImageFormat f) { return EngineCapabilities(codec_).canWrite(f); }, fs_);
    plan_ = planner.makePlan(encodedSource(), settings_->formatStrategy());
    control_.checkpoint();
    // A re-made file is named as its original was, in the file's folder: a conversion
    // the new settings no longer make gives the original's own name back.
    const fs::path named =
        original_
            ? file_.parent_path() / (file_.stem().native() + original_->backup.extension().native())
            : file_;
    output_ = outputPathFor(named, plan_.source, plan_.target, settings_->originalPolicy());
}

bool FileJob::decide() {
    assert(context_.queue.isCurrent());
    if (shortcut_ != Shortcut::none)
        return false;
    refuseSharedOutput();
    removed_ = context_.ownership.removeStaleOutputs(file_, output_, context_.listing, *settings_,
                                                     sourceDigest_);
    if (existingOutputIsFresh(fs_, settings_->originalPolicy(), file_, output_)) {
        shortcut_ = Shortcut::outputFresh;
        plan_.image.reset();
        return false;
    }
    refuseForeignOutput();
    reuse_ = reusableBesideOutput();
    return true;
}

std::optional<fs::path> FileJob::reusableBesideOutput() const {
    if (!version_)
        return std::nullopt;
    return context_.ownership.reusableBesideOutput(
        outputPathFor(file_, plan_.source, plan_.target, OriginalPolicy::keep), version_->digest,
        keptSettingsKey(*settings_));
}

void FileJob::refuseForeignOutput() const {
    // A file under the output's name that we cannot tell is ours (the person's own
    // picture, or an output edited since) has no copy anywhere: it is never replaced.
    if (sameFile(output_, file_) || !context_.ownership.isForeign(output_))
        return;
    const std::string app(appName);
    const std::string english = displayName(file_) + " was not compressed: its output name " +
                                displayName(output_) + " is taken by a file that " + app +
                                " did not make, or that was changed since. Rename or move "
                                "that file.";
    throw OutputNameClashError(english,
                               displayName(file_) + " не сжат: имя результата " +
                                   displayName(output_) + " занято файлом, который " + app +
                                   " не создавал или который с тех пор изменён. Переименуйте или "
                                   "переместите тот файл.",
                               english);
}

void FileJob::refuseSharedOutput() const {
    // Two sources whose outputs would share one name (photo.jpg and photo.JPG, or
    // shot.png and shot.jpg converted to one format) would overwrite or shadow each
    // other. The first by name, of however many, keeps the output; the others fail
    // visibly, and touching one later never hands it the name.
    const fs::path owner =
        context_.ownership.ownerOfOutput(file_, output_, context_.listing, *settings_);
    if (sameFile(owner, file_))
        return;
    const std::string english = displayName(file_) + " was not compressed: its output name " +
                                displayName(output_) + " belongs to " + displayName(owner) +
                                ". Rename one of the two files.";
    throw OutputNameClashError(english,
                               displayName(file_) + " не сжат: имя результата " +
                                   displayName(output_) + " уже занято файлом " +
                                   displayName(owner) + ". Переименуйте один из двух файлов.",
                               english);
}

void FileJob::encode() {
    // Encoders and their tools write only inside a fresh folder of our own (0700), so no
    // name someone planted in the watched folder is followed or truncated; inside it a
    // short name will do, whatever the length of the source's. Each file has its own.
    fs_.createDirectories(output_.parent_path());
    scratch_.emplace(output_.parent_path(), tempFileMarker);
    temp_ = scratch_->path() / ("image" + output_.extension().native());
    if (reuse_ && copyReusableOutput())
        return;

    control_.setToolTimeLimit(toolTimeLimitFor(plan_.image->width() * plan_.image->height(),
                                               settings_->toolTimeLimitBase,
                                               settings_->toolTimeLimitPerMegapixel));
    // AVIF and HEIC are encoded in this process, each holding about 20 bytes a pixel
    // while it runs; two at once on large photos would not fit the memory budget. The
    // wait comes before the encode is reported, so the progress does not count it.
    std::optional<EncodeGate::Permit> inProcessEncode;
    if (plan_.target == ImageFormat::avif || plan_.target == ImageFormat::heic)
        inProcessEncode.emplace(EncodeGate::inProcessEncodes(), control_);
    progress_.encodeBegan(this, plan_.target, size_, file_.filename().string());
    struct EncodeEnd {
        BatchProgress& progress;
        const FileJob* job;
        ~EncodeEnd() { progress.encodeEnded(job); }
    } encodeEnd{progress_, this};

    // The writer takes the raster and lets go of it as soon as it can, so that the
    // checks of the outputs never hold a second image beside it. The decode below, after
    // the mark, is the one check of the bytes installed.
    ImagePlan handedOver = plan_;
    plan_.image.reset();
    ImageWriter(codec_, control_, fs_, /*outputDecodedAfterwards=*/true)
        .writeImage(encodedSource(), temp_, std::move(handedOver), settings_->config);
    control_.checkpoint();

    validateTemporaryFile(fs_, temp_);
    // The mark keeps this file known as ours under any name and without the registry;
    // the decode afterwards proves the mark left the file readable.
    stampOutputMark(fs_, temp_, settings_->key, sourceDigest_);
    newSize_ = validateEncodedImage(fs_, codec_, temp_);
}

bool FileJob::copyReusableOutput() {
    // Copied, then checked again: the beside-output may have been edited since it was
    // judged, and the mark stamped below would vouch for whatever the copy holds.
    fs_.copy(*reuse_, temp_);
    const auto mark = readOutputMark(fs_, temp_);
    if (!mark || mark->settingsKey != keptSettingsKey(*settings_) ||
        !isMarkedOutputOf(fs_, temp_, version_->digest)) {
        fs_.removeFile(temp_);
        reuse_.reset();
        return false;
    }
    // Marked afresh: under replace it stands for the original, with this run's settings.
    stampOutputMark(fs_, temp_, settings_->key, sourceDigest_);
    newSize_ = validateEncodedImage(fs_, codec_, temp_);
    plan_.image.reset();
    return true;
}

void FileJob::removeBesideOutputsUnderReplace() {
    // A beside-output left by an earlier run under keep is a second image of a picture
    // that now has one in its own place (or is its own best image): one image per picture.
    if (!version_)
        return;
    for (auto& removed : context_.ownership.removeBesideOutputsOf(file_, version_->digest))
        removed_.push_back(std::move(removed));
}

void FileJob::requireSourceUnchangedSince(const SourceSnapshot& before) const {
    const auto signature = fileSignature(fs_, file_);
    if (!signature || *signature != before.signature ||
        contentFingerprint(fs_, file_) != before.fingerprint) {
        throw FolderCompressorControlError(FolderCompressorControlError::Kind::sourceChanged);
    }
}

FileOutcome FileJob::outcome(FileOutcome::Kind kind) {
    FileOutcome result;
    result.kind = kind;
    result.source = file_;
    result.removed = std::move(removed_);
    removed_.clear();
    return result;
}

FileOutcome FileJob::install() {
    using Kind = FileOutcome::Kind;
    if (shortcut_ == Shortcut::emptySource)
        return outcome(Kind::empty);
    if (shortcut_ == Shortcut::outputFresh) {
        FileOutcome fresh = outcome(Kind::outputFresh);
        fresh.output = output_;
        return fresh;
    }
    if (shortcut_ == Shortcut::withoutOriginal)
        return outcome(Kind::withoutOriginal);
    EngineControl& control = context_.engineControl;
    control.checkpoint();
    requireSourceUnchangedSince(*before_);
    if (original_ && !isWorthKeeping(plan_, size_, newSize_))
        return putOriginalBack();
    if (!isWorthKeeping(plan_, size_, newSize_)) {
        removeBesideOutputsUnderReplace();
        FileOutcome optimal = outcome(Kind::alreadyOptimal);
        optimal.output = file_;
        optimal.originalBytes = optimal.outputBytes = size_;
        return optimal;
    }

    control.checkpoint();
    if (version_) {
        if (context_.beforeDestructiveInstall)
            context_.beforeDestructiveInstall(file_);
        requireSourceUnchanged(fs_, control, file_, *version_);
        if (!original_)
            context_.installer.backup(file_, *version_, context_.watchDirectory);
    }
    control.checkpoint();

    // The result stands in for the original: never more readable than it, and under
    // replace it keeps the original's permissions and date as well.
    if (version_) {
        fs_.setPermissionsAndTime(temp_, sourceAttributes_->permissions,
                                  version_->signature.modifiedAt);
    } else if (const auto tempAttributes = fs_.attributes(temp_)) {
        fs_.setPermissionsAndTime(
            temp_, tempAttributes->permissions & sourceAttributes_->permissions, std::nullopt);
    }

    if (settings_->originalPolicy() == OriginalPolicy::keep) {
        requireSourceUnchangedSince(*before_);
        // Judged again at the last moment: a file may have taken the name since.
        refuseForeignOutput();
        context_.installer.replaceOutputFile(temp_, output_);
        try {
            requireSourceUnchangedSince(*before_);
        } catch (const FolderCompressorControlError&) {
            // Rewritten during the install: the output just made shows contents that are
            // gone, and its newer date would pass it off as fresh.
            try {
                fs_.removeFile(output_);
            } catch (const std::exception&) {
            }
            removed_.push_back(output_);
            throw;
        }
    } else if (sameFile(output_, file_)) {
        context_.installer.replaceOriginalSafely(temp_, file_, *version_);
    } else {
        context_.installer.replaceConvertedOriginalSafely(temp_, output_, file_, *version_);
    }
    removeBesideOutputsUnderReplace();
    FileOutcome compressed = outcome(Kind::compressed);
    compressed.output = output_;
    compressed.originalBytes = size_;
    compressed.outputBytes = newSize_;
    if (!sameFile(output_, file_) && original_)
        compressed.removed.push_back(file_);
    return compressed;
}

FileOutcome FileJob::putOriginalBack() {
    EngineControl& control = context_.engineControl;
    // The original goes in through the same checked swap as a result would, from a
    // verified copy of the backup, which stays where it is.
    const fs::path copy = scratch_->path() / ("original" + original_->backup.extension().native());
    fs_.copy(original_->backup, copy);
    if (sha256Digest(fs_, control, copy) != original_->digest)
        throw FolderCompressorControlError(FolderCompressorControlError::Kind::sourceChanged);
    fs_.setPermissionsAndTime(copy, sourceAttributes_->permissions, version_->signature.modifiedAt);
    const fs::path named =
        file_.parent_path() / (file_.stem().native() + original_->backup.extension().native());
    control.checkpoint();
    if (context_.beforeDestructiveInstall)
        context_.beforeDestructiveInstall(file_);
    requireSourceUnchanged(fs_, control, file_, *version_);
    if (sameFile(named, file_))
        context_.installer.replaceOriginalSafely(copy, file_, *version_);
    else
        context_.installer.replaceConvertedOriginalSafely(copy, named, file_, *version_);
    FileOutcome optimal = outcome(FileOutcome::Kind::alreadyOptimal);
    if (!sameFile(named, file_))
        optimal.removed.push_back(file_);
    optimal.source = optimal.output = named;
    optimal.originalBytes = optimal.outputBytes = size_;
    return optimal;
}

void FileJob::finish(std::exception_ptr error) {
    assert(context_.queue.isCurrent());
    FileOutcome result;
    try {
        if (error)
            std::rethrow_exception(error);
        result = install();
    } catch (const FolderCompressorControlError& stopped) {
        result = outcome(stopped.kind() == FolderCompressorControlError::Kind::cancelled
                             ? FileOutcome::Kind::cancelled
                             : FileOutcome::Kind::sourceChanged);
    } catch (const std::exception& failure) {
        result = outcome(FileOutcome::Kind::failed);
        result.message = failure.what();
        result.userMessage = userDescription(failure, settings_->config.language);
        // A clash ends when the other file is renamed, not when this one changes.
        result.lasting = !dynamic_cast<const FileSystemError*>(&failure) &&
                         !dynamic_cast<const std::bad_alloc*>(&failure) &&
                         !dynamic_cast<const OutputNameClashError*>(&failure);
    }
    // The scratch folder goes with the file's end, before the engine reports it.
    scratch_.reset();
    context_.apply(result);
}

} // namespace velk
