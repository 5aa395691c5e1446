#pragma once

#include "updater/UpdateInstaller.h"

#include <ostream>
#include <string>
#include <vector>

namespace velk::updater {

/// The installer program: parses its command line, installs, and reports.
struct VelkUpdaterHelper {
    /// The exit status: 0 after a successful installation, else 1 with one line on `errors`.
    static int run(const std::vector<std::string>& words, std::ostream& errors,
                   const InstallerEnvironment& environment);
};

} // namespace velk::updater
