#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "platform/FileSystem.h"
#include "platform/FolderLock.h"

namespace velk {

/// The folder one run works in, with the lock that lets it: a symbolic link to a folder
/// is followed once, when the run starts, and its target is what is locked and watched.
/// Afterwards presence() tells whether the path still leads to that folder. A folder
/// removed and made again, or moved away with a new one made in its place, is another
/// folder, whose lock another engine may hold: the run must leave it alone.
class HeldFolder {
public:
    /// The folder at `folder`, or the one a symbolic link there leads to (with every link
    /// on the way resolved); none when neither is a folder.
    static std::optional<std::filesystem::path> resolve(const FileSystem& fs,
                                                        const std::filesystem::path& folder);

    /// Resolves and locks `folder`. Throws FileError(readNoSuchFile) when no folder is
    /// there, FolderLockError(held) when another engine holds it. A file system that
    /// cannot lock gets its folder watched unlocked, as before locks existed.
    static HeldFolder take(const FileSystem& fs, const std::filesystem::path& folder);

    /// The folder itself, never a link.
    const std::filesystem::path& path() const noexcept { return path_; }

    /// Where the taken folder is now against path(); safe from any thread.
    FolderLock::Presence presence() const;

private:
    HeldFolder(const FileSystem& fs, std::filesystem::path path, std::optional<FolderLock> lock,
               std::uint64_t fileNumber);

    const FileSystem* fs_;
    std::filesystem::path path_;
    std::optional<FolderLock> lock_;
    /// Without a lock, only the path's inode number can tell another folder from it.
    std::uint64_t fileNumber_;
};

} // namespace velk
