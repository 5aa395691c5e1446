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

private:
    int errorNumber_;
};

/// One outside program, started without a shell: argv[0] is the executable's path and
/// the arguments reach it unchanged. Standard output and error are the null device, and
/// so is standard input unless a pipe is asked for; none of our other descriptors leak
/// into it.
///
/// wait(), isRunning() and terminate() may be called from different threads at once.
/// The destructor ends a child that still runs (SIGTERM, then SIGKILL after a short
/// grace) and reaps it, so no zombie outlives the object.
class ChildProcess {
public:
    enum class Input { nullDevice, pipe };
    enum class InputResult { written, closed, timedOut };

    /// Starts the program at once. Throws ChildProcessError when it cannot be launched.
    /// With Input::pipe its standard input is a pipe that writeInput() feeds.
    ChildProcess(const std::filesystem::path& executable,
                 const std::vector<std::string>& arguments, Input input = Input::nullDevice);
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

    /// Hands all of `bytes` to the child's standard input, waiting while the pipe is
    /// full but not past `deadline`. `closed` when the child no longer reads (it exited,
    /// or closed its input); never raises SIGPIPE. Only from one thread at a time.
    InputResult writeInput(const void* bytes, std::size_t count,
                           std::chrono::steady_clock::time_point deadline);
    /// Ends the child's input: it reads end of file once the pipe is drained.
    void closeInput() noexcept;

private:
    void reapLocked(bool block);

    int inputFd_ = -1;

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
