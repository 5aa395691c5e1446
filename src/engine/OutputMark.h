#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/FileSystem.h"
#include "platform/Sha256.h"

namespace velk {

/// What the engine writes into every file it installs: the settings the file was made
/// with and a digest of the file's bytes apart from the mark itself. It travels with the
/// bytes (a JPEG comment, a PNG text chunk, a WebP chunk, an AVIF/HEIC box) through
/// renames, plain copies, restarts and a lost registry, and an editor that keeps the
/// comment but changes the picture breaks the digest.
struct OutputMark {
    std::string settingsKey;
    Sha256::Digest digest{};
    /// SHA-256 of the source it was made from: it ties a converted output to the original
    /// it replaces, and a beside-output to the source it stands for. Marks written by
    /// versions before this one under keep name none.
    std::optional<Sha256::Digest> sourceDigest;

    bool operator==(const OutputMark&) const = default;
};

/// The extended attribute that repeats the mark where the file system keeps them.
inline constexpr std::string_view outputMarkAttribute = "user.velk.output-mark";

/// Writes the mark for `settingsKey` into the freshly validated scratch file `file`
/// (replacing any mark it had) and into its extended attribute. The file is rewritten
/// through a hidden scratch file beside it and renamed over it, keeping its mode. A file
/// whose layout leaves no safe room for the mark gets the attribute only. Throws
/// FileSystemError when the file cannot be read or the new one written; `file` is then
/// left as it was.
void stampOutputMark(FileSystem& fs, const std::filesystem::path& file,
                     std::string_view settingsKey,
                     const std::optional<Sha256::Digest>& sourceDigest = std::nullopt);

/// The mark the file carries (in its bytes, else in its extended attribute), unchecked.
/// None when it has none, is not a regular file, or cannot be read.
std::optional<OutputMark> readOutputMark(const FileSystem& fs, const std::filesystem::path& file);

/// SHA-256 of the file's bytes with the mark left out (and, for WebP, the container's
/// size field, which the mark changes). None when the file cannot be read.
std::optional<Sha256::Digest> unmarkedDigest(const FileSystem& fs,
                                             const std::filesystem::path& file);

/// True when the file carries a mark whose digest matches its bytes: an output of this
/// engine, made with any settings, that nobody has changed since. Never decodes pixels.
bool carriesValidOutputMark(const FileSystem& fs, const std::filesystem::path& file);

/// As carriesValidOutputMark, and made with `settingsKey`: compressing it again with
/// the same settings could only lose quality.
bool isMarkedOutput(const FileSystem& fs, const std::filesystem::path& file,
                    std::string_view settingsKey);

/// True when `output` carries a valid mark naming `sourceDigest` as its source: a
/// conversion of exactly that original finished, with any settings.
bool isMarkedOutputOf(const FileSystem& fs, const std::filesystem::path& output,
                      const Sha256::Digest& sourceDigest);

// The same, through the system's file system.
std::optional<OutputMark> readOutputMark(const std::filesystem::path& file);
std::optional<Sha256::Digest> unmarkedDigest(const std::filesystem::path& file);
bool carriesValidOutputMark(const std::filesystem::path& file);
bool isMarkedOutput(const std::filesystem::path& file, std::string_view settingsKey);
bool isMarkedOutputOf(const std::filesystem::path& output, const Sha256::Digest& sourceDigest);

} // namespace velk
