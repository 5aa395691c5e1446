#pragma once

#include <filesystem>

namespace velk {

/// A regular file (symbolic links followed) that this process may execute.
bool isExecutableFile(const std::filesystem::path& path);

/// Whether the file would run on this processor: an ELF executable or shared object,
/// 64-bit little-endian, built for this machine; or a "#!" script whose interpreter
/// (for "/usr/bin/env NAME", both env and the NAME found on PATH) passes the same
/// test. Anything else is refused, whatever its permissions. Reads only the file's
/// first bytes; never runs it.
bool supportsCurrentArchitecture(const std::filesystem::path& path);

} // namespace velk
