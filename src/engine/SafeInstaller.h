#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

#include "core/DateTime.h"
#include "engine/EngineControl.h"
#include "engine/SourceVersion.h"
#include "platform/FileSystem.h"

namespace velk {

/// Puts validated outputs in their final place without ever losing the user's image:
/// every destructive step is preceded by a version check, and every failure after the
/// source was moved aside puts it back when its name is still free. Used only on the
/// engine's queue.
class SafeInstaller {
public:
    using Clock = std::function<Date()>;

    /// `clock` names the backup's day folder and its collision suffix; the system clock
    /// when empty.
    SafeInstaller(FileSystem& fs, const EngineControl& control, Clock clock = {});

    /// A hidden name beside `file`: "." + stem + marker + "-" + UUID + "." + extension
    /// ("tmp" when the file has none).
    static std::filesystem::path tempURL(const std::filesystem::path& file,
                                         std::string_view marker);

    /// Copies the source into watchDirectory/.velk-compressor-backups/<day>/ and checks that
    /// the copy is `expected`. Returns the copy's path. Throws FileError(noSuchFile) without
    /// a watched folder, `sourceChanged` when the source is no longer a regular file or the
    /// copy differs from `expected` (the copy is then removed), or the file system's error.
    std::filesystem::path backup(const std::filesystem::path& source, const SourceVersion& expected,
                                 const std::optional<std::filesystem::path>& watchDirectory);

    /// Installs temp at output; an earlier regular file there is swapped out and restored
    /// if the install fails. Refuses (FileSystemError) to replace anything but a regular
    /// file, so a link or a folder at the output name is never followed or removed.
    void replaceOutputFile(const std::filesystem::path& temp, const std::filesystem::path& output);

    /// Replaces the source by temp under the source's own name, after checking that the
    /// source is still `expected`. The caller must hold a verified backup.
    void replaceOriginalSafely(const std::filesystem::path& temp,
                               const std::filesystem::path& original,
                               const SourceVersion& expected);

    /// Installs temp at output (a different name) and removes the source, after checking
    /// that the source is still `expected`. Refuses (FileSystemError) when any file already
    /// has the output's name: it is not ours to overwrite, and it has no backup.
    void replaceConvertedOriginalSafely(const std::filesystem::path& temp,
                                        const std::filesystem::path& output,
                                        const std::filesystem::path& original,
                                        const SourceVersion& expected);

    /// Moves `from` to `to` (never over an existing file), falling back to copy and delete.
    /// Throws the copy's error when both fail.
    void moveOrCopyFile(const std::filesystem::path& from, const std::filesystem::path& to);

private:
    std::filesystem::path chooseBackupName(const std::filesystem::path& folder,
                                           const std::filesystem::path& source, Date now) const;
    void removeQuietly(const std::filesystem::path& path) noexcept;
    void moveBackQuietly(const std::filesystem::path& aside,
                         const std::filesystem::path& original) noexcept;

    FileSystem& fs_;
    const EngineControl& control_;
    Clock clock_;
};

} // namespace velk
