#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/FileSystem.h"

namespace velk {

/// True for anything a scan must never take as a source: hidden and office lock files,
/// the engine's temporary, swap and backup files, partial downloads, beside-outputs, and
/// anything outside the folder's top level.
bool shouldIgnore(const std::filesystem::path& file, const std::filesystem::path& folder);

/// What one scan found in the folder, made from its listing: the candidates (regular
/// files of a supported kind, in listing order) and the other files it neither takes nor
/// ignores. A value per scan, used on the engine's queue.
class ScanListing {
public:
    ScanListing() = default;
    ScanListing(std::vector<DirectoryEntry> entries, const std::filesystem::path& folder);

    const std::vector<std::filesystem::path>& candidates() const { return candidates_; }
    /// Regular files of a kind the engine does not process.
    const std::vector<std::filesystem::path>& others() const { return others_; }
    /// The candidates with the stem of `source` (itself among them when it is one), to
    /// tell a stale output from another source's output.
    const std::vector<std::filesystem::path>&
    sourcesWithStem(const std::filesystem::path& source) const;

private:
    std::vector<std::filesystem::path> candidates_;
    std::vector<std::filesystem::path> others_;
    /// Built on first need only: with the folder unchanged, scans never ask.
    mutable std::optional<std::unordered_map<std::string, std::vector<std::filesystem::path>>>
        byStem_;
};

} // namespace velk
