#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace velk::updater {

inline constexpr std::string_view infoPlistPath = "Contents/Info.plist";
inline constexpr std::string_view executableDirectory = "Contents/MacOS";

/// The few keys of a bundle's Info.plist the installer decides on; a key that is missing or
/// not a string is absent.
struct BundleInfo {
    std::optional<std::string> identifier;
    std::optional<std::string> shortVersion;
    std::optional<std::string> executable;

    /// Nothing when the file is missing, unreadable, not a property list or not a dictionary.
    static std::optional<BundleInfo> read(const std::filesystem::path& bundle);
};

/// Decides whether `source` may replace `target` as version `expectedVersion`; throws
/// `UpdateHelperError` (bundleMismatch or updateAppMissing) when it may not.
void checkBundle(const std::filesystem::path& source, const std::filesystem::path& target,
                 const std::string& expectedVersion);

/// The program a bundle starts with, when its Info.plist names one that stays inside it.
std::optional<std::filesystem::path> bundleExecutable(const std::filesystem::path& bundle);

} // namespace velk::updater
