#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace velk::updater {

/// Records how an installation ended for the program that starts the installer, which reads
/// it after the fact: an XML property list with "Result" ("installed" or "failed"), "Version"
/// (the version asked for) and, after a failure, "Reason" (the error line's text). Written
/// under a temporary name and renamed into place, so a reader never sees half of it; a
/// failure to write is ignored, as there is no one left to tell.
void writeInstallResult(const std::filesystem::path& file, const std::string& version,
                        const std::optional<std::string>& failure) noexcept;

/// Removes the package the main program downloaded, with its folder, once the installation
/// has ended either way. Only a package inside a "VelkCompressor-Update-" folder is touched:
/// a command line naming any other file leaves it alone.
void removeDownloadedPackage(const std::filesystem::path& package) noexcept;

} // namespace velk::updater
