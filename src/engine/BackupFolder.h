#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "engine/EngineControl.h"
#include "platform/FileSystem.h"
#include "platform/Sha256.h"

namespace velk {

/// A verified copy of the original a file in the folder was made from.
struct KeptOriginal {
    std::filesystem::path backup;
    Sha256::Digest digest{};
    std::int64_t size = 0;
};

/// The originals kept under replace: watchDirectory/.velk-compressor-backups/<day>/
/// <stem>.original[-<ms>[-<n>]].<ext>. Only read; safe from any thread.
class BackupFolder {
public:
    BackupFolder(const FileSystem& fs, std::filesystem::path watchDirectory);

    /// The copy, in any day's folder, of the original whose SHA-256 is `digest`, kept for
    /// a file of `file`'s stem (its extension may differ after a format conversion). Each
    /// candidate is read whole: only a copy that still matches is returned, newest first.
    /// Throws FolderCompressorControlError(cancelled) through `control`.
    std::optional<KeptOriginal> find(const std::filesystem::path& file,
                                     const Sha256::Digest& digest,
                                     const EngineControl& control) const;

    /// The original of `file` when `file` is our own unchanged result (a valid mark that
    /// names its source) and a verified copy of that source is kept.
    std::optional<KeptOriginal> originalOf(const std::filesystem::path& file,
                                           const EngineControl& control) const;

private:
    const FileSystem& fs_;
    std::filesystem::path folder_;
};

} // namespace velk
