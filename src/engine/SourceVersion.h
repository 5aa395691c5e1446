#pragma once

#include <filesystem>

#include "engine/EngineControl.h"
#include "engine/FileSignature.h"
#include "platform/FileSystem.h"
#include "platform/Sha256.h"

namespace velk {

/// The exact state of a source as the engine read it: its signature and the SHA-256 of
/// all its bytes. Two versions are the same only when both parts are equal.
struct SourceVersion {
    FileSignature signature;
    Sha256::Digest digest{};

    bool operator==(const SourceVersion&) const = default;
};

/// Throws FileError(readNoSuchFile) when the item is missing or is not a regular file (a
/// symbolic link is never read through), or the digest's error (including `cancelled`).
SourceVersion sourceVersion(const FileSystem& fs, const EngineControl& control,
                            const std::filesystem::path& path);

/// Throws FolderCompressorControlError(sourceChanged) when the item's current version
/// cannot be read, for whatever reason, or differs from `expected`.
void requireSourceUnchanged(const FileSystem& fs, const EngineControl& control,
                            const std::filesystem::path& path, const SourceVersion& expected);

} // namespace velk
