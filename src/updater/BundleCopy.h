#pragma once

#include <filesystem>

namespace velk::updater {

/// Removes `path` and everything below it, read-only folders included; a link is removed, not
/// followed. False when something is left.
bool removeBundle(const std::filesystem::path& path) noexcept;

} // namespace velk::updater
