#include "engine/InterruptedWorkRecovery.h"

#include "core/Constants.h"
#include "core/NativeLog.h"
#include "core/Paths.h"
#include "core/Uuid.h"
#include "engine/EngineCapabilities.h"
#include "engine/FileSignature.h"
#include "engine/ImagePlan.h"
#include "engine/OutputMark.h"
#include "engine/OutputNaming.h"
#include "engine/Validation.h"
#include "platform/ScratchFolder.h"

namespace velk {

namespace fs = std::filesystem;

InterruptedWorkRecovery::InterruptedWorkRecovery(FileSystem& fs, const ImageCodec& codec,
                                                 const EngineControl& control,
                                                 DecisionRecorder& recorder)
    : fs_(fs), codec_(codec), control_(control), recorder_(recorder) {}

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

bool InterruptedWorkRecovery::hasIdenticalBackup(const fs::path& folder, const fs::path& file,
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
                digest = sha256Digest(fs_, control_, file);
            if (sha256Digest(fs_, control_, copy.path) == *digest)
                return true;
        } catch (const std::exception&) {
            return false;
        }
    }
    return false;
}

std::optional<fs::path> InterruptedWorkRecovery::finishedConversion(const fs::path& folder,
                                                                    const fs::path& aside,
                                                                    const std::string& originalName,
                                                                    FormatStrategy strategy) {
    const fs::path original = folder / originalName;
    const auto sourceFormat = imageFormatFromExtension(lowercaseExtension(original));
    if (!sourceFormat)
        return std::nullopt;
    // The aside file is the source itself under another name, so it predicts the target.
    const auto target = predictedTargetFormat(
        aside, strategy, [this](ImageFormat f) { return EngineCapabilities(codec_).canWrite(f); },
        codec_);
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
    if (carriesValidOutputMark(fs_, output)) {
        try {
            if (!isMarkedOutputOf(fs_, output, sha256Digest(fs_, control_, aside)))
                return std::nullopt;
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return output;
}

std::vector<DirectoryEntry> InterruptedWorkRecovery::backupCopies(const fs::path& folder) {
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

bool InterruptedWorkRecovery::supersededResult(const fs::path& aside, const fs::path& target) {
    if (!carriesValidOutputMark(fs_, aside))
        return false;
    const auto mark = readOutputMark(fs_, aside);
    if (!mark || !mark->sourceDigest)
        return false;
    try {
        return isMarkedOutputOf(fs_, target, *mark->sourceDigest) ||
               sha256Digest(fs_, control_, target) == *mark->sourceDigest;
    } catch (const std::exception&) {
        return false;
    }
}

void InterruptedWorkRecovery::removeUnverifiedBackups(const fs::path& folder) {
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

void InterruptedWorkRecovery::recover(const fs::path& folder, FormatStrategy strategy,
                                      const std::string& settingsKey) {
    removeUnverifiedBackups(folder);
    std::vector<DirectoryEntry> entries;
    try {
        entries = fs_.list(folder);
    } catch (const std::exception&) {
        return;
    }
    // Recovery may record decisions before the first scan sizes the registry.
    recorder_.reserveForFolder(entries.size());
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
                            besideOutput
                                ? std::nullopt
                                : finishedConversion(folder, entry.path, *original, strategy)) {
                        // Killed after the converted result took its place: finish the
                        // job instead of bringing back a source whose result exists.
                        fs_.removeFile(entry.path);
                        recorder_.record(*converted, ProcessedDecision::compressed, settingsKey);
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
                        recorder_.record(target, ProcessedDecision::compressed, settingsKey);
                    }
                    fs_.removeFile(entry.path);
                    NativeLog::write("Removed leftover swap file " + displayName(entry.path));
                } else if (supersededResult(entry.path, target)) {
                    // A result set aside while it was re-made from its kept original: what
                    // holds its name now comes from that same original.
                    fs_.removeFile(entry.path);
                    NativeLog::write("Removed superseded result " + displayName(entry.path));
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
