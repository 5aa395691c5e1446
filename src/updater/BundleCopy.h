#pragma once

#include <filesystem>

namespace velk::updater {

/// Copies the folder `from` to `to`, which must not exist yet, keeping permission bits,
/// modification times and symbolic links as links. Throws `std::filesystem::filesystem_error`;
/// a failed copy may leave part of `to` behind.
void copyBundle(const std::filesystem::path& from, const std::filesystem::path& to);

/// Removes `path` and everything below it, read-only folders included; a link is removed, not
/// followed. False when something is left.
bool removeBundle(const std::filesystem::path& path) noexcept;

} // namespace velk::updater
