#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/ProcessedFileRegistry.h"
#include "engine/RunSettings.h"
#include "engine/ScanListing.h"
#include "platform/FileSystem.h"
#include "platform/ImageCodec.h"

namespace velk {

/// The one answer to what in the folder the engine made: which file is its own output,
/// which output a source would get, and which outputs of a source are stale and may go.
/// Judges by what a file carries (its mark) and what the registry recorded of it, never
/// by its name alone: a user's image under an output's name is the user's. Keeps no state
/// of its own; used on the engine's queue.
class OutputOwnership {
public:
    OutputOwnership(FileSystem& fs, const ImageCodec& codec, const ProcessedFileRegistry& registry);

    /// The output processing would give `source` under `settings`; none when its format
    /// cannot be told or written.
    std::optional<std::filesystem::path> predictedOutput(const std::filesystem::path& source,
                                                         const RunSettings& settings) const;

    /// Whether the file is recognisably the engine's result: it carries a valid mark
    /// (which outlives renames, copies and a lost registry), or the registry recorded
    /// these very contents as written by the engine. Only such a file may go as stale.
    bool isOwnOutput(const std::filesystem::path& file) const;
    /// An unchanged output of the engine made with exactly these settings: compressing
    /// it again could only lose quality.
    bool isCurrentOutput(const std::filesystem::path& file, std::string_view settingsKey) const;

    /// Another of the scan's sources (photo.png beside photo.jpg) whose output would be
    /// `output`.
    std::optional<std::filesystem::path> otherSourceWithOutput(const std::filesystem::path& source,
                                                               const std::filesystem::path& output,
                                                               const ScanListing& listing,
                                                               const RunSettings& settings) const;

    /// With a registry record of `source` that matches its contents: whether what the
    /// record stands for is still there, so the source needs nothing.
    bool recordedResultHolds(const std::filesystem::path& source,
                             const RunSettings& settings) const;

    /// Removes the beside-outputs of `source` other than `keep` that are the engine's own
    /// and not another source's, when sources are kept. Returns the files it removed.
    std::vector<std::filesystem::path> removeStaleOutputs(const std::filesystem::path& source,
                                                          const std::filesystem::path& keep,
                                                          const ScanListing& listing,
                                                          const RunSettings& settings);

private:
    FileSystem& fs_;
    const ImageCodec& codec_;
    const ProcessedFileRegistry& registry_;
};

} // namespace velk
