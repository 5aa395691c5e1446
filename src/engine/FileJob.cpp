#include "engine/FileJob.h"

#include <cassert>

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
} // namespace

FileJob::FileJob(fs::path file, const FileJobContext& context)
    : context_(context), file_(std::move(file)), fs_(context.fs), codec_(context.codec),
      progress_(context.progress), settings_(context.settings), control_(context.engineControl) {}

void FileJob::plan() {
    control_.checkpoint();
    if (settings_->originalPolicy() == OriginalPolicy::replace) {
        version_ = sourceVersion(fs_, control_, file_);
    }
    // What the result is made from: a source rewritten while it is encoded must not get
    // (or keep) an output of its old contents.
    sourceAttributes_ = fs_.attributes(file_);
    if (!sourceAttributes_)
        throw FileError(FileError::Kind::readNoSuchFile, file_);
    before_ = SourceSnapshot{fileSignature(*sourceAttributes_), contentFingerprint(fs_, file_)};
    size_ = version_ ? version_->signature.size : before_->signature.size;
    if (size_ <= 0) {
        shortcut_ = Shortcut::emptySource;
        return;
    }
    const ImagePlanner planner(
        codec_, [this](ImageFormat f) { return EngineCapabilities(codec_).canWrite(f); }, fs_);
    plan_ = planner.makePlan(file_, settings_->formatStrategy());
    control_.checkpoint();
    output_ = outputPathFor(file_, plan_.source, plan_.target, settings_->originalPolicy());
}

bool FileJob::decide() {
    assert(context_.queue.isCurrent());
    if (shortcut_ != Shortcut::none)
        return false;
    refuseSharedOutput();
    removed_ = context_.ownership.removeStaleOutputs(file_, output_, context_.listing, *settings_);
    if (existingOutputIsFresh(fs_, settings_->originalPolicy(), file_, output_)) {
        shortcut_ = Shortcut::outputFresh;
        plan_.image.reset();
        return false;
    }
    return true;
}

void FileJob::refuseSharedOutput() const {
    // Two sources whose outputs would share one name (photo.jpg and photo.JPG, or
    // shot.png and shot.jpg converted to one format) would overwrite or shadow each
    // other. The first by name keeps the output; the others fail visibly.
    const auto other =
        context_.ownership.otherSourceWithOutput(file_, output_, context_.listing, *settings_);
    if (!other || other->filename().native() > file_.filename().native())
        return;
    const std::string english = displayName(file_) + " was not compressed: its output name " +
                                displayName(output_) + " belongs to " + displayName(*other) +
                                ". Rename one of the two files.";
    throw DescribedError(english,
                         displayName(file_) + " не сжат: имя результата " + displayName(output_) +
                             " уже занято файлом " + displayName(*other) +
                             ". Переименуйте один из двух файлов.",
                         english);
}

void FileJob::encode() {
    // Encoders and their tools write only inside a fresh folder of our own (0700), so no
    // name someone planted in the watched folder is followed or truncated; inside it a
    // short name will do, whatever the length of the source's. Each file has its own.
    fs_.createDirectories(output_.parent_path());
    scratch_.emplace(output_.parent_path(), tempFileMarker);
    temp_ = scratch_->path() / ("image" + output_.extension().native());

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
        .writeImage(file_, temp_, std::move(handedOver), settings_->config);
    control_.checkpoint();

    validateTemporaryFile(fs_, temp_);
    // The mark keeps this file known as ours under any name and without the registry;
    // the decode afterwards proves the mark left the file readable.
    stampOutputMark(fs_, temp_, settings_->key,
                    version_ ? std::optional<Sha256::Digest>(version_->digest) : std::nullopt);
    newSize_ = validateEncodedImage(fs_, codec_, temp_);
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
    EngineControl& control = context_.engineControl;
    control.checkpoint();
    requireSourceUnchangedSince(*before_);
    if (!isWorthKeeping(plan_, size_, newSize_)) {
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
    FileOutcome compressed = outcome(Kind::compressed);
    compressed.output = output_;
    compressed.originalBytes = size_;
    compressed.outputBytes = newSize_;
    return compressed;
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
    }
    // The scratch folder goes with the file's end, before the engine reports it.
    scratch_.reset();
    context_.apply(result);
}

} // namespace velk
