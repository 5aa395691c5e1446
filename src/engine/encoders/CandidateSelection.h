#pragma once

#include <filesystem>
#include <vector>

namespace velk {

/// The smallest of the candidate files; on a tie the earlier one wins. Throws
/// FileSystemError when a size cannot be read and FileError writeUnknown for an empty
/// list (no candidate survived).
std::filesystem::path smallestCandidate(const std::vector<std::filesystem::path>& candidates);

/// Replaces whatever is at `destination` with a copy of `winner`. A winner that already
/// is the destination stays as it is. Throws FileSystemError when the copy fails, and
/// then leaves no partial copy behind.
void installWinner(const std::filesystem::path& winner, const std::filesystem::path& destination);

/// The scratch files one encoder call creates. The destructor deletes every one of
/// them except the destination, on success, failure and cancellation alike.
class ScratchFiles {
public:
    explicit ScratchFiles(std::filesystem::path destination);
    ScratchFiles(const ScratchFiles&) = delete;
    ScratchFiles& operator=(const ScratchFiles&) = delete;
    ~ScratchFiles();

    /// Records the file and returns it, so a path can be registered where it is made:
    /// `auto pnm = scratch.add(folder / "input.ppm");`. The destination is never recorded.
    std::filesystem::path add(std::filesystem::path file);

private:
    std::filesystem::path destination_;
    std::vector<std::filesystem::path> doomed_;
};

} // namespace velk
