#include "engine/OutputOwnership.h"

#include "core/NativeLog.h"
#include "core/Paths.h"
#include "engine/EngineCapabilities.h"
#include "engine/FileSignature.h"
#include "engine/ImagePlan.h"
#include "engine/OutputMark.h"
#include "engine/OutputNaming.h"
#include "engine/Validation.h"

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

bool OutputOwnership::isForeign(const fs::path& output) const {
    const auto attributes = fs_.attributes(output);
    if (!attributes)
        return false;
    return !attributes->isRegularFile || !isOwnOutput(output);
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

fs::path OutputOwnership::ownerOfOutput(const fs::path& source, const fs::path& output,
                                        const ScanListing& listing,
                                        const RunSettings& settings) const {
    const fs::path kept = standardized(output);
    const fs::path self = standardized(source);
    fs::path owner = source;
    for (const auto& other : listing.sourcesWithStem(source)) {
        if (standardized(other) == self || other.filename().native() >= owner.filename().native())
            continue;
        if (const auto predicted = predictedOutput(other, settings);
            predicted && standardized(*predicted) == kept) {
            owner = other;
        }
    }
    return owner;
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

bool OutputOwnership::isMadeFrom(const fs::path& candidate,
                                 const Sha256::Digest& sourceDigest) const {
    const auto attributes = fs_.attributes(candidate);
    return attributes && attributes->isRegularFile &&
           isMarkedOutputOf(fs_, candidate, sourceDigest);
}

bool OutputOwnership::removeQuietly(const fs::path& file, std::string_view what) {
    try {
        fs_.removeFile(file);
        NativeLog::write("Removed " + std::string(what) + " " + displayName(file));
        return true;
    } catch (const std::exception& error) {
        NativeLog::write("Could not remove " + std::string(what) + " " + displayPath(file) + ": " +
                         error.what());
        return false;
    }
}

std::vector<fs::path>
OutputOwnership::removeStaleOutputs(const fs::path& source, const fs::path& keep,
                                    const ScanListing& listing, const RunSettings& settings,
                                    const std::optional<Sha256::Digest>& sourceDigest) {
    std::vector<fs::path> removed;
    if (settings.originalPolicy() != OriginalPolicy::keep)
        return removed;
    const fs::path kept = standardized(keep);
    std::optional<Sha256::Digest> digest = sourceDigest;
    for (const auto& candidate : besideOutputCandidates(source)) {
        if (standardized(candidate) == kept)
            continue;
        // Only an output made from this very source may go: any other file under such a
        // name (the person's own, an output of a picture since deleted, one an older
        // version marked without its source) may be the only copy of its picture. The
        // source is read only once something is there to compare it with.
        const auto mark = readOutputMark(fs_, candidate);
        if (!mark || !mark->sourceDigest)
            continue;
        // Another source of the folder owns this name: its output is not stale, and
        // removing it would make the two re-encode each other forever.
        if (otherSourceWithOutput(source, candidate, listing, settings))
            continue;
        if (!digest)
            digest = currentDigestOf(source);
        if (!digest)
            return removed;
        if (!isMadeFrom(candidate, *digest))
            continue;
        if (removeQuietly(candidate, "stale output"))
            removed.push_back(candidate);
    }
    return removed;
}

std::optional<fs::path>
OutputOwnership::reusableBesideOutput(const fs::path& besideOutput,
                                      const Sha256::Digest& sourceDigest,
                                      std::string_view keptSettingsKey) const {
    const auto mark = readOutputMark(fs_, besideOutput);
    if (!mark || mark->sourceDigest != sourceDigest || mark->settingsKey != keptSettingsKey ||
        !isMadeFrom(besideOutput, sourceDigest)) {
        return std::nullopt;
    }
    return besideOutput;
}

std::vector<fs::path> OutputOwnership::removeBesideOutputsOf(const fs::path& source,
                                                             const Sha256::Digest& sourceDigest) {
    std::vector<fs::path> removed;
    for (const auto& candidate : besideOutputCandidates(source)) {
        if (isMadeFrom(candidate, sourceDigest) && removeQuietly(candidate, "beside-output"))
            removed.push_back(candidate);
    }
    return removed;
}

std::optional<Sha256::Digest> OutputOwnership::currentDigestOf(const fs::path& source) const {
    const auto signature = fileSignature(fs_, source);
    if (!signature)
        return std::nullopt;
    const fs::path key = standardized(source);
    if (const auto known = digests_.find(key);
        known != digests_.end() && known->second.first == *signature) {
        return known->second.second;
    }
    try {
        EngineControl uninterrupted;
        uninterrupted.setCancellationRequested(false);
        const Sha256::Digest digest = sha256Digest(fs_, uninterrupted, source);
        // One entry per source with a marked file beside it that must stay: a handful.
        if (digests_.size() >= 1024)
            digests_.clear();
        digests_[key] = {*signature, digest};
        return digest;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace velk
