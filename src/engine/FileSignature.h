#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/DateTime.h"
#include "platform/FileSystem.h"

namespace velk {

/// The cheap identity of a file's current state, read from its attributes alone. Equal
/// signatures mean "probably untouched"; any write, replacement or move from elsewhere
/// changes at least one field.
struct FileSignature {
    std::int64_t size = 0;
    Date modifiedAt;
    /// The birth time, where the file system reports one.
    std::optional<Date> attributeModifiedAt;
    /// The file number as decimal text.
    std::optional<std::string> resourceIdentifier;

    bool operator==(const FileSignature&) const = default;
};

/// The identity of a file's contents: its size and FNV-1a hashes of its first and last
/// 64 KiB (the same bytes twice when the file is no larger than that).
struct ContentFingerprint {
    std::int64_t size = 0;
    std::uint64_t headHash = 0;
    std::uint64_t tailHash = 0;

    bool operator==(const ContentFingerprint&) const = default;
};

inline constexpr std::int64_t fingerprintSpan = 65'536;
inline constexpr std::uint64_t fnvOffsetBasis = 14'695'981'039'346'656'037ULL;
inline constexpr std::uint64_t fnvPrime = 1'099'511'628'211ULL;

/// 64-bit FNV-1a over `bytes`, continuing from `hash`.
std::uint64_t fnv1a64(std::string_view bytes, std::uint64_t hash = fnvOffsetBasis);

/// The signature carried by attributes already read.
FileSignature fileSignature(const ItemAttributes& attributes);
/// None when the item cannot be examined. A symbolic link is described, not followed.
std::optional<FileSignature> fileSignature(const FileSystem& fs, const std::filesystem::path& path);

/// None when the item is missing, empty, not a regular file, or cannot be read in full.
std::optional<ContentFingerprint> contentFingerprint(const FileSystem& fs,
                                                     const std::filesystem::path& path);

/// The size attribute in bytes. Throws FileError(readNoSuchFile) when the item cannot be
/// examined.
std::int64_t fileSize(const FileSystem& fs, const std::filesystem::path& path);

} // namespace velk
