#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velk {

/// How the installation before this start ended, as the installer recorded it.
struct InstallOutcome {
    bool installed = false;
    /// The version the installation was for.
    std::string version;
    /// Why the installer refused; empty after an installation.
    std::string reason;

    bool operator==(const InstallOutcome&) const = default;
};

/// The installer's record in the application support folder.
inline constexpr std::string_view installResultFileName = "update-result.plist";

/// At start: removes what installations left beside `bundle` (copies of the installer, the
/// folders of installers that no longer run, backups an older installer left), then reads and
/// removes the installer's record at `resultFile`. None when there is no record. Never fails:
/// what cannot be removed stays for the next start.
std::optional<InstallOutcome>
settleUpdateLeftovers(const std::optional<std::filesystem::path>& bundle,
                      const std::filesystem::path& resultFile);

} // namespace velk
