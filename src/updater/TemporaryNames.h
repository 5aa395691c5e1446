#pragma once

#include <string>

namespace velk::updater {

/// A random (version 4) UUID in its 36-character text form, upper case.
std::string randomUuidText();

} // namespace velk::updater
