#pragma once

#include <ostream>

#include "app/MainLoop.h"
#include "update/AppUpdater.h"

namespace velk {

/// `--update`: checks for a release and, when a newer one runs here, downloads it and runs
/// the installer, which replaces the bundle and starts the program again. Reports each step
/// on `out` and a failure, the installer's refusal among them, on `err`; returns the exit
/// status (0 up to date or installed, 1 failed or stopped by SIGINT/SIGTERM). Runs `loop`
/// until the answer is in.
int runUpdateCommand(AppUpdater& updater, MainLoop& loop, std::ostream& out, std::ostream& err);

} // namespace velk
