#include "update/InstallerProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/ChildProcess.h"
#include "platform/PosixSpawn.h"

extern char** environ;

namespace velk {

namespace {

constexpr std::size_t maximumRecordBytes = 64 * 1024;
constexpr auto exitPollInterval = std::chrono::milliseconds(50);

} // namespace

int startInstaller(const std::filesystem::path& executable,
                   const std::vector<std::string>& arguments) {
    SpawnAttributes attributes;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    // Our threads block SIGINT and SIGTERM for the signal watcher; the mask would be inherited.
    posix_spawnattr_setsigmask(attributes.get(), &none);
    posix_spawnattr_setsigdefault(attributes.get(), &all);
    posix_spawnattr_setflags(attributes.get(),
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    SpawnFileActions actions;
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        posix_spawn_file_actions_addopen(actions.get(), fd, "/dev/null",
                                         fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    }
    posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);

    std::string program = executable.native();
    std::vector<std::string> words = arguments;
    std::vector<char*> argv = {program.data()};
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int error =
        posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(), environ);
    if (error != 0)
        throw ChildProcessError(executable, error);
    return pid;
}

std::optional<int> waitForInstaller(int pid, const std::stop_token& stop) {
    for (;;) {
        int raw = 0;
        const pid_t done = ::waitpid(pid, &raw, WNOHANG);
        if (done == pid)
            return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        if (done == -1 && errno != EINTR)
            return 1;
        if (stop.stop_requested())
            return std::nullopt;
        std::this_thread::sleep_for(exitPollInterval);
    }
}

std::string readInstallerRecord(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    std::string text(maximumRecordBytes, '\0');
    stream.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(stream.gcount()));
    return text;
}

} // namespace velk
