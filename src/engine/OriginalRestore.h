#pragma once

#include <filesystem>
#include <string>

#include "core/AppLanguage.h"
#include "platform/FileSystem.h"

namespace velk {

/// How a request to put an original back ended; `message` is for the person, in the
/// interface language.
struct RestoreResult {
    bool ok = false;
    std::string message;
    /// Where the original now is (the file's name, or its own name when the result had
    /// been converted to another format); empty when nothing was changed.
    std::filesystem::path restored;
};

/// Puts the verified original of `file` (our own result in the folder) back in its place:
/// a checked copy of the backup is renamed over the file, with the file's mode and
/// modification date (the original's). A converted result gives way to the original
/// under its own name. The backup is kept: until the person removes the backups it is the
/// one copy that survives a mistake here. Nothing is changed when the file is not our
/// unchanged result, no verified backup of its original exists, or another file holds the
/// original's name. Used on the engine's queue when an engine runs.
RestoreResult restoreOriginal(FileSystem& fs, const std::filesystem::path& file,
                              AppLanguage language);

} // namespace velk
