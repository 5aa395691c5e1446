#pragma once

#include <filesystem>
#include <string_view>

namespace velk {

/// A folder of our own for work files: made fresh inside `parent` under the name
/// "<prefix>-<random UUID>", readable by this user only (0700), and removed with all it
/// holds when the object ends. mkdir(2) refuses any existing name and never follows a
/// link, so whatever tools write inside cannot be redirected by a name someone planted
/// in a shared parent folder, and no one else can plant anything inside.
class ScratchFolder {
public:
    /// Throws FileSystemError when the folder cannot be made.
    ScratchFolder(const std::filesystem::path& parent, std::string_view prefix);
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder();

    const std::filesystem::path& path() const noexcept { return path_; }

    /// Whether `name` is one this class makes with `prefix`: recovery after a crash
    /// removes such folders, and nothing else.
    static bool isScratchFolderName(std::string_view name, std::string_view prefix);

private:
    std::filesystem::path path_;
};

} // namespace velk
