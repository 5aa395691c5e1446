#pragma once

#include <filesystem>

namespace velk::updater {

/// The installation's own folder ".<bundle name>.update-<UUID>" beside the installed bundle, so
/// on its file system: the package is unpacked into it, the new bundle trades places with the
/// installed one from there, and the old one ends up in it. Locked while the installation
/// runs, so that a repair leaves it alone; removed with everything in it when this object goes.
class WorkFolder {
public:
    /// Throws `UpdateHelperError` installationFailed when the folder cannot be made or locked.
    explicit WorkFolder(const std::filesystem::path& installed);
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;
    ~WorkFolder();

    const std::filesystem::path& path() const { return path_; }
    /// Where the old bundle waits while the new one moves in, on a file system that cannot
    /// swap two folders in one step.
    std::filesystem::path previous() const { return path_ / "previous"; }

private:
    std::filesystem::path path_;
    int descriptor_ = -1;
};

/// The prefix of every name an installation gives its folders beside `installed`.
std::string workFolderPrefix(const std::filesystem::path& installed);

/// Puts right what an installation that was killed left beside `installed`: a bundle that
/// stood aside goes back when nothing is at `installed`, and every unlocked work folder and
/// every backup of an earlier installer's making is removed. Never fails.
void repairInterruptedUpdate(const std::filesystem::path& installed);

/// Trades the two entries' places in one step (renameat2 RENAME_EXCHANGE). False, with nothing
/// changed, where the file system cannot; throws `std::filesystem::filesystem_error` on any
/// other failure.
bool exchangePaths(const std::filesystem::path& first, const std::filesystem::path& second);

/// Flushes every file and folder below and including `root` to the disk, so that a swap that
/// the disk keeps is never a swap to a bundle it lost. Throws `std::filesystem::filesystem_error`.
void syncTree(const std::filesystem::path& root);

/// Flushes a folder's own entries (a rename in it) to the disk; a failure is ignored.
void syncFolder(const std::filesystem::path& folder) noexcept;

} // namespace velk::updater
