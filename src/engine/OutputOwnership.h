#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/FileSignature.h"
#include "engine/ProcessedFileRegistry.h"
#include "engine/RunSettings.h"
#include "engine/ScanListing.h"
#include "platform/FileSystem.h"
#include "platform/ImageCodec.h"
#include "platform/Sha256.h"

namespace velk {

/// The one answer to what in the folder the engine made: which file is its own output,
/// which output a source would get, and which outputs of a source are stale and may go.
/// Judges by what a file carries (its mark) and what the registry recorded of it, never
/// by its name alone: a user's image under an output's name is the user's. Keeps nothing
/// but a cache of source digests; used on the engine's queue.
class OutputOwnership {
public:
    OutputOwnership(FileSystem& fs, const ImageCodec& codec, const ProcessedFileRegistry& registry);

    /// The output processing would give `source` under `settings`; none when its format
    /// cannot be told or written.
    std::optional<std::filesystem::path> predictedOutput(const std::filesystem::path& source,
                                                         const RunSettings& settings) const;

    /// Whether the file is recognisably the engine's result: it carries a valid mark
    /// (which outlives renames, copies and a lost registry), or the registry recorded
    /// these very contents as written by the engine. Only such a file may be replaced.
    bool isOwnOutput(const std::filesystem::path& file) const;
    /// An unchanged output of the engine made with exactly these settings: compressing
    /// it again could only lose quality.
    bool isCurrentOutput(const std::filesystem::path& file, std::string_view settingsKey) const;

    /// Something is at `output` (a file, a folder, a link) that is not recognisably the
    /// engine's: the person's own picture under an output's name, or an output edited
    /// since. It is never replaced or removed.
    bool isForeign(const std::filesystem::path& output) const;

    /// Another of the scan's sources (photo.png beside photo.jpg) whose output would be
    /// `output`.
    std::optional<std::filesystem::path> otherSourceWithOutput(const std::filesystem::path& source,
                                                               const std::filesystem::path& output,
                                                               const ScanListing& listing,
                                                               const RunSettings& settings) const;
    /// Of all the scan's sources whose output would be `output` (`source`, whose output it
    /// is, among them), the one that gets it: the first by name, whatever the listing's
    /// order, so the same one wins every scan and every start.
    std::filesystem::path ownerOfOutput(const std::filesystem::path& source,
                                        const std::filesystem::path& output,
                                        const ScanListing& listing,
                                        const RunSettings& settings) const;

    /// With a registry record of `source` that matches its contents: whether what the
    /// record stands for is still there, so the source needs nothing.
    bool recordedResultHolds(const std::filesystem::path& source,
                             const RunSettings& settings) const;

    /// Removes the beside-outputs of `source` other than `keep` that were made from it as it
    /// is now (their mark names its digest) and that no other source would get, when
    /// sources are kept. An output whose source is gone, one made from another picture, and
    /// one whose mark names no source (an older version's) stay: it may be the only copy of
    /// a picture. `sourceDigest` is the source's SHA-256 when the caller has it; otherwise
    /// it is read, and only when there is a candidate to compare. Returns the files removed.
    std::vector<std::filesystem::path>
    removeStaleOutputs(const std::filesystem::path& source, const std::filesystem::path& keep,
                       const ScanListing& listing, const RunSettings& settings,
                       const std::optional<Sha256::Digest>& sourceDigest = std::nullopt);

    /// The beside-output a kept `source` got, made from exactly the contents `sourceDigest`
    /// names and with the settings `keptSettingsKey`: under replace it is the source's
    /// compressed image already, and encoding the source again would only cost time.
    std::optional<std::filesystem::path>
    reusableBesideOutput(const std::filesystem::path& besideOutput,
                         const Sha256::Digest& sourceDigest,
                         std::string_view keptSettingsKey) const;
    /// Removes every beside-output of `source` made from the contents `sourceDigest` names:
    /// once that original is in the backup folder and its compressed image in its place,
    /// such a file is a second copy of the same picture. Returns the files removed.
    std::vector<std::filesystem::path> removeBesideOutputsOf(const std::filesystem::path& source,
                                                             const Sha256::Digest& sourceDigest);

private:
    /// A regular file whose valid mark names `sourceDigest` as what it was made from.
    bool isMadeFrom(const std::filesystem::path& candidate,
                    const Sha256::Digest& sourceDigest) const;
    /// Removes the file, logging "Removed <what> <name>" or why it could not.
    bool removeQuietly(const std::filesystem::path& file, std::string_view what);
    /// SHA-256 of the source's bytes, remembered by its signature: the sweep asks on every
    /// scan while a marked file it must leave sits beside the source.
    std::optional<Sha256::Digest> currentDigestOf(const std::filesystem::path& source) const;

    FileSystem& fs_;
    const ImageCodec& codec_;
    const ProcessedFileRegistry& registry_;
    mutable std::map<std::filesystem::path, std::pair<FileSignature, Sha256::Digest>> digests_;
};

} // namespace velk
