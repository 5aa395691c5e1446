#pragma once

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace velk {

/// Starts the installer as a child of ours that can be waited for, yet like a detached
/// program: in a session of its own (a terminal's Ctrl-C does not reach it), with default
/// signal handling, its standard streams on the null device and none of our descriptors.
/// Returns its process id; throws ChildProcessError when it cannot be started.
int startInstaller(const std::filesystem::path& executable,
                   const std::vector<std::string>& arguments);

/// Waits for the child `pid` to exit and returns its exit status (128 + N after signal N);
/// none when `stop` is requested first, the child left running.
std::optional<int> waitForInstaller(int pid, const std::stop_token& stop);

/// The installer's record of its outcome, at most 64 KiB of it; empty when there is none.
std::string readInstallerRecord(const std::filesystem::path& file);

} // namespace velk
