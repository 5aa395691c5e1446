#include "engine/OutputOwnership.h"

#include "core/NativeLog.h"
#include "core/Paths.h"
#include "engine/EngineCapabilities.h"
#include "engine/FileSignature.h"
#include "engine/ImagePlan.h"
#include "engine/OutputMark.h"
#include "engine/OutputNaming.h"

namespace velk {

namespace fs = std::filesystem;

OutputOwnership::OutputOwnership(FileSystem& fs, const ImageCodec& codec,
                                 const ProcessedFileRegistry& registry)
    : fs_(fs), codec_(codec), registry_(registry) {}

std::optional<fs::path> OutputOwnership::predictedOutput(const fs::path& source,
                                                         const RunSettings& settings) const {
    const auto sourceFormat = imageFormatFromExtension(lowercaseExtension(source));
    if (!sourceFormat)
        return std::nullopt;
    const auto target = predictedTargetFormat(
        source, settings.formatStrategy(),
        [this](ImageFormat f) { return EngineCapabilities(codec_).canWrite(f); }, codec_);
    if (!target)
        return std::nullopt;
    return outputPathFor(source, *sourceFormat, *target, settings.originalPolicy());
}

bool OutputOwnership::isOwnOutput(const fs::path& file) const {
    if (carriesValidOutputMark(fs_, file))
        return true;
    const auto record = registry_.record(file);
    if (!record || record->decision != ProcessedDecision::compressed)
        return false;
    const auto fingerprint = contentFingerprint(fs_, file);
    const auto signature = fileSignature(fs_, file);
    return fingerprint && signature && record->fingerprint == *fingerprint &&
           record->resourceIdentifier == signature->resourceIdentifier;
}

bool OutputOwnership::isCurrentOutput(const fs::path& file, std::string_view settingsKey) const {
    return isMarkedOutput(fs_, file, settingsKey);
}

std::optional<fs::path> OutputOwnership::otherSourceWithOutput(const fs::path& source,
                                                               const fs::path& output,
                                                               const ScanListing& listing,
                                                               const RunSettings& settings) const {
    const fs::path kept = standardized(output);
    const fs::path self = standardized(source);
    for (const auto& other : listing.sourcesWithStem(source)) {
        if (standardized(other) == self)
            continue;
        if (const auto predicted = predictedOutput(other, settings);
            predicted && standardized(*predicted) == kept) {
            return other;
        }
    }
    return std::nullopt;
}

bool OutputOwnership::recordedResultHolds(const fs::path& source,
                                          const RunSettings& settings) const {
    if (settings.originalPolicy() == OriginalPolicy::replace)
        return true;
    // Found already optimal with these very contents and settings: there is no output to
    // look for, and deciding it again after each start only repeated its history row.
    if (const auto record = registry_.record(source);
        record && record->decision == ProcessedDecision::alreadyOptimal) {
        return true;
    }
    const auto predicted = predictedOutput(source, settings);
    return predicted && existingOutputIsFresh(fs_, settings.originalPolicy(), source, *predicted);
}

std::vector<fs::path> OutputOwnership::removeStaleOutputs(const fs::path& source,
                                                          const fs::path& keep,
                                                          const ScanListing& listing,
                                                          const RunSettings& settings) {
    std::vector<fs::path> removed;
    if (settings.originalPolicy() != OriginalPolicy::keep)
        return removed;
    const fs::path kept = standardized(keep);
    for (const auto& candidate : besideOutputCandidates(source)) {
        if (standardized(candidate) == kept)
            continue;
        const auto attributes = fs_.attributes(candidate);
        // Only a file we made may go: a folder or a link under an output's name, or a
        // user's own image that merely has such a name, is none of the engine's business.
        if (!attributes || !attributes->isRegularFile || !isOwnOutput(candidate))
            continue;
        // Another source of the folder owns this name: its output is not stale, and
        // removing it would make the two re-encode each other forever.
        if (otherSourceWithOutput(source, candidate, listing, settings))
            continue;
        try {
            fs_.removeFile(candidate);
            removed.push_back(candidate);
            NativeLog::write("Removed stale output " + displayName(candidate));
        } catch (const std::exception& error) {
            NativeLog::write("Could not remove stale output " + displayPath(candidate) + ": " +
                             error.what());
        }
    }
    return removed;
}

} // namespace velk
