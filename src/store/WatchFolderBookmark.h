#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velk {

/// Lasting access to a chosen folder. Linux has no access grants to keep, so a bookmark
/// is simply the folder's standardised path as bytes (any bytes a file name may hold).
std::string watchFolderBookmark(const std::filesystem::path& folder);

/// The folder a bookmark names; none for bytes that are not an absolute path.
std::optional<std::filesystem::path> resolveWatchFolderBookmark(std::string_view bookmark);

} // namespace velk
