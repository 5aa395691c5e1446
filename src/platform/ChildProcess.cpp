#include "platform/ChildProcess.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "core/Paths.h"
#include "platform/PosixSpawn.h"

extern char** environ;

namespace velk {

namespace {

constexpr auto terminationGrace = std::chrono::seconds(1);
constexpr auto terminationPollInterval = std::chrono::milliseconds(5);

std::string launchFailureText(const std::filesystem::path& executable, int errorNumber) {
    return "cannot launch " + displayPath(executable) + ": " +
           std::generic_category().message(errorNumber);
}

/// A descriptor that becomes readable when the process exits; -1 where the kernel has
/// none (before Linux 5.3).
class PidDescriptor {
public:
    explicit PidDescriptor(pid_t pid) : fd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}
    PidDescriptor(const PidDescriptor&) = delete;
    PidDescriptor& operator=(const PidDescriptor&) = delete;
    ~PidDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

int statusFromWait(int raw) {
    if (WIFEXITED(raw))
        return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw))
        return 128 + WTERMSIG(raw);
    return -1;
}

[[noreturn]] void reportAndExit(int pipe, int errorNumber) {
    // Only async-signal-safe calls between fork and exec: the parent may have threads.
    [[maybe_unused]] const ssize_t written = ::write(pipe, &errorNumber, sizeof errorNumber);
    ::_exit(127);
}

[[noreturn]] void execDetached(const char* executable, char* const* argv, int pipe) {
    if (::setsid() == -1)
        reportAndExit(pipe, errno);
    const int null = ::open("/dev/null", O_RDWR);
    if (null == -1)
        reportAndExit(pipe, errno);
    for (const int target : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::dup2(null, target) == -1)
            reportAndExit(pipe, errno);
    }
    // Every other descriptor closes on exec, the error pipe among them, so the parent's
    // read ends exactly when the program is running.
    ::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC);
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP)
            ::sigaction(signal, &standard, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(executable, argv, environ);
    reportAndExit(pipe, errno);
}

} // namespace

void launchDetached(const std::filesystem::path& executable,
                    const std::vector<std::string>& arguments) {
    if (executable.empty() || executable.native().find('\0') != std::string::npos) {
        throw ChildProcessError(executable, EINVAL);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const auto& argument : arguments) {
        if (argument.find('\0') != std::string::npos)
            throw ChildProcessError(executable, EINVAL);
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) == -1)
        throw ChildProcessError(executable, errno);
    const pid_t intermediate = ::fork();
    if (intermediate == 0) {
        ::close(pipeEnds[0]);
        const pid_t program = ::fork();
        if (program == 0)
            execDetached(executable.c_str(), argv.data(), pipeEnds[1]);
        if (program == -1)
            reportAndExit(pipeEnds[1], errno);
        ::_exit(0);
    }
    const int forkError = errno;
    ::close(pipeEnds[1]);
    if (intermediate == -1) {
        ::close(pipeEnds[0]);
        throw ChildProcessError(executable, forkError);
    }
    int status = 0;
    while (::waitpid(intermediate, &status, 0) == -1 && errno == EINTR) {
    }
    int launchError = 0;
    ssize_t got;
    do {
        got = ::read(pipeEnds[0], &launchError, sizeof launchError);
    } while (got == -1 && errno == EINTR);
    ::close(pipeEnds[0]);
    if (got == static_cast<ssize_t>(sizeof launchError)) {
        throw ChildProcessError(executable, launchError);
    }
}

ChildProcessError::ChildProcessError(const std::filesystem::path& executable, int errorNumber)
    : Error(launchFailureText(executable, errorNumber)), errorNumber_(errorNumber),
      executable_(executable) {}

std::string ChildProcessError::description(AppLanguage language) const {
    const std::string name = quotedName(executable_, language);
    return text(language, "Не удалось запустить программу " + name + ".",
                "The program " + name + " could not be started.");
}

namespace {
std::string_view variableName(std::string_view entry) {
    return entry.substr(0, entry.find('='));
}
} // namespace

ChildProcess::ChildProcess(const std::filesystem::path& executable,
                           const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment) {
    // A NUL inside an argument would silently cut it short in the child's argv.
    const auto hasNul = [](const std::string& text) {
        return text.find('\0') != std::string::npos;
    };
    if (executable.empty() || hasNul(executable.native())) {
        throw ChildProcessError(executable, EINVAL);
    }
    for (const auto& argument : arguments) {
        if (hasNul(argument))
            throw ChildProcessError(executable, EINVAL);
    }
    for (const auto& entry : environment) {
        if (hasNul(entry) || entry.find('=') == std::string::npos)
            throw ChildProcessError(executable, EINVAL);
    }

    SpawnFileActions actions;
    posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Libraries in this process (libvips, libcurl, D-Bus) may open descriptors without
    // O_CLOEXEC; a tool must not hold our files or sockets open after we close them.
    posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
#endif

    // The spawning thread may block signals, and the process may ignore SIGPIPE or
    // SIGTERM; a child that inherited either would shrug off terminate().
    SpawnAttributes attributes;
    sigset_t emptyMask;
    sigemptyset(&emptyMask);
    sigset_t allSignals;
    sigfillset(&allSignals);
    posix_spawnattr_setsigmask(attributes.get(), &emptyMask);
    posix_spawnattr_setsigdefault(attributes.get(), &allSignals);
    posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    std::vector<char*> envp;
    if (!environment.empty()) {
        for (char** entry = environ; *entry; ++entry) {
            const auto name = variableName(*entry);
            const bool replaced = std::any_of(
                environment.begin(), environment.end(),
                [name](const std::string& added) { return variableName(added) == name; });
            if (!replaced)
                envp.push_back(*entry);
        }
        for (const auto& entry : environment)
            envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
    }

    // glibc's posix_spawn reports a failed exec (ENOENT, EACCES, ENOEXEC) as its own
    // result rather than as exit status 127, so launch failures surface here.
    pid_t pid = -1;
    const int result = posix_spawn(&pid, executable.c_str(), actions.get(), attributes.get(),
                                   argv.data(), environment.empty() ? environ : envp.data());
    if (result != 0)
        throw ChildProcessError(executable, result);
    pid_ = pid;
}

ChildProcess::~ChildProcess() {
    std::scoped_lock lock(mutex_);
    if (reaped_)
        return;
    reapLocked(false);
    if (reaped_)
        return;
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + terminationGrace;
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(terminationPollInterval);
        reapLocked(false);
        if (reaped_)
            return;
    }
    ::kill(pid_, SIGKILL);
    reapLocked(true);
}

void ChildProcess::reapLocked(bool block) {
    int raw = 0;
    pid_t result;
    do {
        result = ::waitpid(pid_, &raw, block ? 0 : WNOHANG);
    } while (result == -1 && errno == EINTR);
    if (result == pid_) {
        exitStatus_ = statusFromWait(raw);
        reaped_ = true;
    } else if (result == -1) {
        // ECHILD: the child is gone without a status we can read (SIGCHLD set to
        // SIG_IGN reaps automatically). Count it as failed so no caller trusts it.
        exitStatus_ = -1;
        reaped_ = true;
    }
}

int ChildProcess::wait() {
    for (;;) {
        {
            std::scoped_lock lock(mutex_);
            if (reaped_)
                return exitStatus_;
        }
        // Wait without reaping: the zombie keeps the pid ours until reapLocked runs
        // under the lock, so terminate() on another thread can never signal a pid the
        // system has handed to someone else.
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) == -1 &&
            errno == EINTR) {
            continue;
        }
        std::scoped_lock lock(mutex_);
        if (!reaped_)
            reapLocked(true);
        return exitStatus_;
    }
}

std::optional<int> ChildProcess::waitFor(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::optional<PidDescriptor> exitSignal;
    {
        // Opened while the pid is certainly ours (not reaped yet).
        std::scoped_lock lock(mutex_);
        if (reaped_)
            return exitStatus_;
        exitSignal.emplace(pid_);
    }
    for (;;) {
        {
            std::scoped_lock lock(mutex_);
            if (reaped_)
                return exitStatus_;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        bool exited = false;
        if (exitSignal->get() >= 0) {
            pollfd watch{exitSignal->get(), POLLIN, 0};
            const int ready =
                ::poll(&watch, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
            if (ready == -1 && errno == EINTR)
                continue;
            exited = ready != 0;
        } else {
            // Without a pid descriptor: look without reaping, as wait() does, every
            // 20 ms.
            siginfo_t info{};
            const int result =
                ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
            if (result == -1 && errno == EINTR)
                continue;
            exited = result == -1 || info.si_pid == pid_;
            if (!exited)
                std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(20)));
        }
        if (!exited)
            continue;
        std::scoped_lock lock(mutex_);
        if (!reaped_)
            reapLocked(true);
        return exitStatus_;
    }
}

bool ChildProcess::isRunning() {
    std::scoped_lock lock(mutex_);
    if (!reaped_)
        reapLocked(false);
    return !reaped_;
}

void ChildProcess::terminate() {
    std::scoped_lock lock(mutex_);
    if (!reaped_)
        ::kill(pid_, SIGTERM);
}

} // namespace velk
