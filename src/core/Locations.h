#pragma once

#include <filesystem>

namespace velk {

/// VELK_CONFIG_DIR when set and not empty, else "$XDG_DATA_HOME/velk compressor", else
/// "~/.local/share/velk compressor". Never fails; does not create the folder.
std::filesystem::path velkApplicationSupportDirectory();

/// VELK_LOG_DIR when set and not empty, else the default application support folder
/// (VELK_CONFIG_DIR does not move the log).
std::filesystem::path logDirectory();

/// $TMPDIR, else /tmp.
std::filesystem::path temporaryDirectory();

} // namespace velk
