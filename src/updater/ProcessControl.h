#pragma once

#include <chrono>
#include <filesystem>
#include <sys/types.h>

namespace velk::updater {

/// How long the installer waits for the program it replaces to go.
struct ExitWait {
    int polls = 600;
    std::chrono::milliseconds interval{100};
};

/// True while `pid` names a live process. A process that is gone but not yet reaped by its
/// parent counts as gone: it holds no files and will never run again.
bool processExists(pid_t pid);

/// Polls `pid` until it has gone; false when it was still there after the last poll.
bool waitForExit(pid_t pid, const ExitWait& wait);

/// Starts `executable` without arguments in a session of its own with its standard streams on
/// the null device, and does not wait for it. False when it could not be started.
bool launchDetached(const std::filesystem::path& executable);

} // namespace velk::updater
