#include "support/PrivateSessionBus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "platform/ExecutableCheck.h"
#include "support/TempDir.h"

extern char** environ;

namespace velk::test {

namespace fs = std::filesystem;

namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

std::string configText(const fs::path& folder) {
    return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=)" +
           folder.native() + R"(</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
}

void stop(int pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

std::optional<fs::path> PrivateSessionBus::daemonPath() {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (dir.empty())
            continue;
        const fs::path candidate = fs::path(dir) / "dbus-daemon";
        if (isExecutableFile(candidate))
            return candidate;
    }
    return std::nullopt;
}

PrivateSessionBus::PrivateSessionBus(const fs::path& folder) {
    const std::optional<fs::path> daemon = daemonPath();
    if (!daemon)
        throw std::runtime_error("dbus-daemon not installed");
    const fs::path config = folder / "session.conf";
    writeFile(config, configText(folder));

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    Fd readEnd(ends[0]), writeEnd(ends[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    // Kept out of the test output (it warns about fd limits as root), but kept for a
    // failure to quote.
    const fs::path log = folder / "dbus-daemon.log";
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> args = {daemon->native(), "--config-file=" + config.native(),
                                     "--print-address=1", "--nofork", "--nopidfile"};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int spawned =
        ::posix_spawn(&pid_, daemon->c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        throw std::runtime_error(std::string("cannot start dbus-daemon: ") +
                                 std::strerror(spawned));
    }
    writeEnd.reset();

    // The daemon prints its address only once it listens, so reading it is the wait.
    std::string line;
    for (;;) {
        pollfd ready{readEnd.get(), POLLIN, 0};
        const int polled = ::poll(&ready, 1, 10'000);
        if (polled < 0 && errno == EINTR)
            continue;
        char c;
        const ssize_t got = polled > 0 ? ::read(readEnd.get(), &c, 1) : 0;
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            stop(pid_);
            pid_ = -1;
            throw std::runtime_error("dbus-daemon printed no address: " + readFile(log));
        }
        if (c == '\n')
            break;
        line += c;
    }
    address_ = line;
}

PrivateSessionBus::~PrivateSessionBus() {
    stop(pid_);
}

} // namespace velk::test
