#pragma once

#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace velk {

class EngineControl;
class FileSystem;
class ImageCodec;

/// The services an outside-encoder path works with; all of them stay the caller's.
struct EncoderContext {
    EngineControl& control;
    const ImageCodec& codec;
    FileSystem& fs;
    /// The caller decodes the finished output itself before using it, so a lone
    /// candidate, which wins whatever its size, need not be decoded here as well.
    bool outputDecodedAfterwards = false;
};

/// One run of an outside encoder: the file it is to write and its whole argument list.
struct ToolCandidate {
    std::filesystem::path url;
    std::vector<std::string> arguments;
    bool operator==(const ToolCandidate&) const = default;
};

/// A fresh hidden scratch name in `directory`: "." + base + ".velk-temp-" + role + "-" +
/// UUID + "." + extension. The marker keeps the folder scan away from it.
std::filesystem::path scratchURL(const std::filesystem::path& directory,
                                 const std::filesystem::path& base, std::string_view role,
                                 std::string_view extension);

/// The destination's file name without its extension.
std::filesystem::path scratchBaseName(const std::filesystem::path& destination);

/// A configured quality on the tools' 0–100 scale.
int clampedToolQuality(int quality);

/// Writes a profile for a tool to read, atomically. Throws FileSystemError.
void writeProfileFile(const std::filesystem::path& file, std::string_view iccData);

/// Copies a file, replacing whatever is at `to`. Throws FileSystemError.
void copyScratchFile(const std::filesystem::path& from, const std::filesystem::path& to);

/// Forgets a candidate that failed: its file is deleted (errors ignored) and the reason
/// goes to the debug log. Call only from a catch block.
void dropCandidate(const std::filesystem::path& candidate, const std::exception& reason) noexcept;

/// Proves a tool's candidate usable: not empty, and (unless the context's caller decodes
/// the result itself and there is no other candidate to choose from) decodable.
/// Throws FileError(writeUnknown) and deletes the file otherwise.
void checkCandidate(const EncoderContext& context, const std::filesystem::path& candidate,
                    std::size_t candidateCount);

} // namespace velk
