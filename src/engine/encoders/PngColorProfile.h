#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/FileSystem.h"

namespace velk {

/// Makes a PNG carry `iccData` as its only colour description: drops every iCCP, sRGB,
/// gAMA, cHRM and cICP chunk and inserts one iCCP chunk named "VELK ICC" right after
/// IHDR. Other chunks keep their order and bytes; anything after IEND is dropped. The
/// file is read through `reader` and replaced atomically, keeping its permission bits.
///
/// Leaves the file untouched, without error, when `iccData` is absent or empty, when the
/// file is not a PNG, or when it has no IHDR. Throws FileError(readCorruptFile) for a
/// chunk running past the end of the file, FileError(writeUnknown) when the profile
/// cannot be compressed, FileError(readNoSuchFile) or FileSystemError when the file
/// cannot be read or replaced. The file is unchanged after any failure.
void attachICCProfileToPNGIfNeeded(const FileReader& reader, const std::filesystem::path& file,
                                   const std::optional<std::string>& iccData);
/// As above, reading through the system's file system.
void attachICCProfileToPNGIfNeeded(const std::filesystem::path& file,
                                   const std::optional<std::string>& iccData);

/// A zlib stream (RFC 1950) of `data`: header 0x78 0x9C, raw DEFLATE, big-endian
/// Adler-32. Empty for empty input. Throws FileError(writeUnknown) when compression fails.
std::string zlibCompressedData(std::string_view data);

/// CRC-32 as PNG chunks use it (reflected polynomial 0xEDB88320); 0 for empty input.
std::uint32_t crc32(std::string_view data);

/// Adler-32 (RFC 1950); 1 for empty input.
std::uint32_t adler32(std::string_view data);

} // namespace velk
