#pragma once

#include <filesystem>
#include <string>

namespace velk {

/// A folder as a person reads it in a tooltip: "~/Pictures/Inbox" under the home folder,
/// the whole path elsewhere. Always valid UTF-8.
std::string homeRelativePath(const std::filesystem::path& path);

} // namespace velk
