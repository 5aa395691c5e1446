#pragma once

#include <filesystem>

namespace velk::updater {

/// The update package opened for reading: the gzip-compressed tar archive extracted into a
/// private folder that plays the mount point, removed again when this object goes.
class MountedPackage {
public:
    /// Extracts `package` into a fresh folder inside `parent`. Throws
    /// `UpdateHelperError` invalidDiskImage, leaving nothing behind, when the archive is
    /// damaged or holds an entry that could write outside the folder: an absolute name, a
    /// ".." component, a link leading out, or anything but files, folders and links.
    MountedPackage(const std::filesystem::path& package, const std::filesystem::path& parent);
    MountedPackage(const MountedPackage&) = delete;
    MountedPackage& operator=(const MountedPackage&) = delete;
    ~MountedPackage();

    const std::filesystem::path& mountPoint() const { return mountPoint_; }

private:
    std::filesystem::path mountPoint_;
};

} // namespace velk::updater
