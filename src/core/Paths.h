#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/AppLanguage.h"

namespace velk {

/// Absolute, with "." and ".." resolved lexically and no trailing separator. Symbolic
/// links are deliberately left alone: the engine must see a link as the link.
std::filesystem::path standardized(const std::filesystem::path& path);

/// The text of standardized(path), cheaper when the path is already standard.
std::string standardizedString(const std::filesystem::path& path);

/// "file:///…" with every byte outside the unreserved and path characters
/// percent-encoded, so any Linux file name (UTF-8 or not) survives the round trip.
/// A folder's URL ends with "/".
std::string fileURL(const std::filesystem::path& path, bool isDirectory = false);

/// The standardised path named by a "file:" URL (empty host or "localhost"), or none
/// when the text is not such a URL.
std::optional<std::filesystem::path> pathFromFileURL(std::string_view url);

/// Text that identifies a path inside JSON files and maps. A path whose bytes are
/// valid UTF-8 is its own key (readable, and what a person expects to see); any other
/// path is keyed by its file URL, which is pure ASCII and can never collide with a
/// key that starts with "/".
std::string pathKey(const std::filesystem::path& path);

/// The inverse of pathKey.
std::filesystem::path pathFromKey(std::string_view key);

/// The extension without its dot, lower-cased ASCII; empty when there is none.
std::string lowercaseExtension(const std::filesystem::path& path);

/// The path for the log and the user interface; lossy for non-UTF-8 names.
std::string displayPath(const std::filesystem::path& path);

/// The last component for the user interface; lossy for non-UTF-8 names.
std::string displayName(const std::filesystem::path& path);

/// Whether the path is, or lies inside, one of the engine's hidden scratch items (a
/// component starting with "." that carries tempFileMarker or replaceFileMarker).
bool isScratchPath(const std::filesystem::path& path);

/// displayName in the language's quotation marks: «name» in Russian, “name” in English.
std::string quotedName(const std::filesystem::path& path, AppLanguage language);

} // namespace velk
