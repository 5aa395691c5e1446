#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>

#include "engine/EngineControl.h"
#include "engine/FileSignature.h"
#include "platform/FileSystem.h"
#include "platform/ImageCodec.h"
#include "platform/Sha256.h"

namespace velk {

// fileSize(fs, path) comes with engine/FileSignature.h.

/// The size (> 0) of a freshly written file. An empty file is removed and reported as
/// FileError(writeUnknown); a size-read error passes through.
std::int64_t validateTemporaryFile(FileSystem& fs, const std::filesystem::path& path);

/// As validateTemporaryFile, and in addition removes the file and throws
/// FileError(writeUnknown) when its first image cannot be decoded.
std::int64_t validateEncodedImage(FileSystem& fs, const ImageCodec& codec,
                                  const std::filesystem::path& path);

inline constexpr std::size_t digestBlockSize = 1'048'576;

/// SHA-256 of the file's bytes, read through `reader` in 1 MiB blocks with a cancellation
/// checkpoint before each read. Throws FileSystemError when the file cannot be opened or
/// read, or FolderCompressorControlError(cancelled); the file is closed on every exit.
/// `afterBlock`, when set, runs after each block has been hashed.
Sha256::Digest sha256Digest(const FileReader& reader, const EngineControl& control,
                            const std::filesystem::path& path,
                            const std::function<void()>& afterBlock = {});
/// As above, through the system's file system.
Sha256::Digest sha256Digest(const EngineControl& control, const std::filesystem::path& path,
                            const std::function<void()>& afterBlock = {});

} // namespace velk
