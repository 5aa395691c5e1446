#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velk {

/// The running kernel's release as "major.minor.patch" ("6.1.0" for "6.1.0-18-amd64");
/// missing parts read 0, and "0.0.0" when the release cannot be read at all.
std::string kernelVersion();

/// The leading "major.minor.patch" of a kernel release text.
std::string kernelVersionFromRelease(std::string_view release);

/// The executable of this process, through /proc/self/exe; none when unreadable.
std::optional<std::filesystem::path> currentExecutablePath();

} // namespace velk
