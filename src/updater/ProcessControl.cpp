#include "updater/ProcessControl.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <string>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace velk::updater {

namespace {

bool isZombie(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    // The command name in parentheses may itself hold spaces and parentheses: the state
    // follows the last closing one.
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

class SpawnAttributes {
public:
    SpawnAttributes() { posix_spawnattr_init(&attributes_); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

class FileActions {
public:
    FileActions() { posix_spawn_file_actions_init(&actions_); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

} // namespace

bool processExists(pid_t pid) {
    if (::kill(pid, 0) != 0 && errno == ESRCH)
        return false;
    // Any other answer, a refused probe included, means something is still there.
    return !isZombie(pid);
}

bool waitForExit(pid_t pid, const ExitWait& wait) {
    for (int poll = 0; poll < wait.polls; ++poll) {
        if (!processExists(pid))
            return true;
        std::this_thread::sleep_for(wait.interval);
    }
    return false;
}

bool launchDetached(const std::filesystem::path& executable) {
    SpawnAttributes attributes;
    // A session of its own: the relaunched program must not go down with a terminal or a
    // process group that the installer happened to run in.
    if (posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSID) != 0)
        return false;
    FileActions actions;
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        const int flags = fd == STDIN_FILENO ? O_RDONLY : O_WRONLY;
        if (posix_spawn_file_actions_addopen(actions.get(), fd, "/dev/null", flags, 0) != 0) {
            return false;
        }
    }
    std::string program = executable.string();
    char* argv[] = {program.data(), nullptr};
    pid_t child = 0;
    return posix_spawn(&child, program.c_str(), actions.get(), attributes.get(), argv, environ) ==
           0;
}

} // namespace velk::updater
