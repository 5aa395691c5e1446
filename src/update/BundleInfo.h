#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "update/AppUpdateManifest.h"

namespace velk {

/// The application bundle an executable runs from: the folder three levels above it when
/// it sits in "Contents/MacOS", standardised; none otherwise.
std::optional<std::filesystem::path> bundleOfExecutable(const std::filesystem::path& executable);

/// The text stored under `key` in an XML property list's top dictionary; none when the
/// key is missing or its value is not a string.
std::optional<std::string> infoPlistString(std::string_view plist, std::string_view key);

/// The running program's version and build from the bundle's "Contents/Info.plist" ("0"
/// for an entry that is missing or not text); the version compiled in when the program
/// runs outside a bundle.
RunningVersion runningVersion(const std::optional<std::filesystem::path>& bundle);

} // namespace velk
