#pragma once

#include <filesystem>
#include <string_view>
#include <system_error>

namespace velk {

/// Writes bytes to a hidden temporary file beside the target, flushes it to disk and
/// renames it over the target, so a reader (or a crash) sees the old file or the new
/// one, never half of either. The temporary file is removed on failure. Does not
/// create the folder.
std::error_code writeFileAtomically(const std::filesystem::path& target, std::string_view bytes);

/// Reads a whole file; false when it cannot be opened or read.
bool readWholeFile(const std::filesystem::path& path, std::string& bytes);

} // namespace velk
