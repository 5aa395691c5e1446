#include "engine/HeldFolder.h"

#include <system_error>

#include "core/FileError.h"
#include "core/NativeLog.h"
#include "core/Paths.h"

namespace velk {

namespace fs = std::filesystem;

std::optional<fs::path> HeldFolder::resolve(const FileSystem& fs, const fs::path& folder) {
    fs::path path = standardized(folder);
    auto attributes = fs.attributes(path);
    if (attributes && attributes->isSymbolicLink) {
        // "~/Pictures" linked to a data disk is common; the folder is the link's target.
        std::error_code error;
        path = fs::canonical(path, error);
        if (error)
            return std::nullopt;
        attributes = fs.attributes(path);
    }
    if (!attributes || !attributes->isDirectory)
        return std::nullopt;
    return path;
}

HeldFolder HeldFolder::take(const FileSystem& fs, const fs::path& folder) {
    const auto path = resolve(fs, folder);
    if (!path)
        throw FileError(FileError::Kind::readNoSuchFile, standardized(folder),
                        FileError::Item::folder);
    if (*path != standardized(folder))
        NativeLog::write("The folder " + displayPath(folder) + " is a link to " +
                         displayPath(*path) + "; watching that");
    std::optional<FolderLock> lock;
    try {
        lock = FolderLock::lockFolder(*path);
    } catch (const FolderLockError& error) {
        if (error.kind() == FolderLockError::Kind::held)
            throw;
        NativeLog::write(std::string("Folder lock unavailable: ") + error.what() + " " +
                         error.code().message());
    }
    const auto attributes = fs.attributes(*path);
    return HeldFolder(fs, *path, std::move(lock), attributes ? attributes->fileNumber : 0);
}

HeldFolder::HeldFolder(const FileSystem& fs, fs::path path, std::optional<FolderLock> lock,
                       std::uint64_t fileNumber)
    : fs_(&fs), path_(std::move(path)), lock_(std::move(lock)), fileNumber_(fileNumber) {}

FolderLock::Presence HeldFolder::presence() const {
    if (lock_)
        return lock_->presenceAt(path_);
    const auto attributes = fs_->attributes(path_);
    return attributes && attributes->isDirectory && attributes->fileNumber == fileNumber_
               ? FolderLock::Presence::atPath
               : FolderLock::Presence::elsewhere;
}

} // namespace velk
