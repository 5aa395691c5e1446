#pragma once

#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/Error.h"

namespace velk {

/// A process could not be started; errorNumber() is the errno of the failed launch
/// (ENOENT for a missing file, EACCES for one that may not be run, ENOEXEC, …).
class ChildProcessError : public Error {
public:
    ChildProcessError(const std::filesystem::path& executable, int errorNumber);
    int errorNumber() const noexcept { return errorNumber_; }
    const std::filesystem::path& executable() const noexcept { return executable_; }

    std::string description(AppLanguage language) const override;

private:
    int errorNumber_;
    std::filesystem::path executable_;
};

/// One outside program, started without a shell: argv[0] is the executable's path and
/// the arguments reach it unchanged. Standard input, output and error are the null
/// device; none of our other descriptors leak into it.
///
/// wait(), isRunning() and terminate() may be called from different threads at once.
/// The destructor ends a child that still runs (SIGTERM, then SIGKILL after a short
/// grace) and reaps it, so no zombie outlives the object.
class ChildProcess {
public:
    /// Starts the program at once, with our environment plus `environment` ("NAME=value"
    /// entries, replacing any of the same name). Throws ChildProcessError when it cannot
    /// be launched.
    ChildProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment = {});
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    /// Blocks until the child has exited, with no time limit, and returns its exit
    /// status; a child killed by signal N gives 128 + N. Returns at once when it was
    /// already reaped.
    int wait();
    /// Like wait(), but gives up after `timeout` with none; the child is left running.
    std::optional<int> waitFor(std::chrono::milliseconds timeout);
    bool isRunning();
    /// Sends SIGTERM unless the child has already been reaped.
    void terminate();
    int pid() const noexcept { return pid_; }

private:
    void reapLocked(bool block);

    std::mutex mutex_;
    int pid_ = -1;
    bool reaped_ = false;
    int exitStatus_ = -1;
};

/// Starts a program that outlives this one: in a session of its own, with standard input,
/// output and error on the null device, none of our descriptors and default signal
/// handling, and never waited for (an intermediate process reaps it, so it leaves no
/// zombie behind). Returns once the program has been executed. Throws ChildProcessError
/// when it cannot be.
void launchDetached(const std::filesystem::path& executable,
                    const std::vector<std::string>& arguments);

} // namespace velk
