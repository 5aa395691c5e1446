#pragma once

#include <filesystem>
#include <string>

namespace velk::updater {

/// A random (version 4) UUID in its 36-character text form, upper case.
std::string randomUuidText();

/// `$TMPDIR` when set and not empty, else /tmp.
std::filesystem::path userTemporaryDirectory();

} // namespace velk::updater
