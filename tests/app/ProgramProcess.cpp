#include "app/ProgramProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/TempDir.h"

extern char** environ;

namespace velk::test {

namespace fs = std::filesystem;

ProgramProcess::ProgramProcess(const fs::path& program, const std::vector<std::string>& arguments,
                               const std::map<std::string, std::optional<std::string>>& environment,
                               const fs::path& outputPrefix)
    : outFile_(outputPrefix.native() + ".out"), errFile_(outputPrefix.native() + ".err") {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        const std::string variable = *entry;
        if (!environment.contains(variable.substr(0, variable.find('='))))
            variables.push_back(variable);
    }
    for (const auto& [name, value] : environment) {
        if (value)
            variables.push_back(name + "=" + *value);
    }
    std::vector<std::string> argumentTexts{program.native()};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    auto pointers = [](std::vector<std::string>& texts) {
        std::vector<char*> result;
        for (auto& text : texts)
            result.push_back(text.data());
        result.push_back(nullptr);
        return result;
    };
    auto argv = pointers(argumentTexts);
    auto envp = pointers(variables);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int result =
        ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0)
        throw std::runtime_error("cannot start " + program.native());
    // Through syscall(): glibc 2.36 declares pidfd_open without C linkage for C++.
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd_ < 0)
        throw std::runtime_error("pidfd_open failed");
}

ProgramProcess::~ProgramProcess() {
    if (!status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    ::close(pidfd_);
}

void ProgramProcess::signal(int number) {
    if (!status_)
        ::kill(pid_, number);
}

std::optional<int> ProgramProcess::wait(std::chrono::milliseconds timeout) {
    if (status_)
        return status_;
    pollfd descriptor{pidfd_, POLLIN, 0};
    if (::poll(&descriptor, 1, static_cast<int>(timeout.count())) <= 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        status_ = 128 + SIGKILL;
        return std::nullopt;
    }
    return hasExited() ? status_ : std::nullopt;
}

bool ProgramProcess::hasExited() {
    if (status_)
        return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_)
        return false;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

std::string ProgramProcess::out() const {
    return readFile(outFile_);
}

std::string ProgramProcess::err() const {
    return readFile(errFile_);
}

} // namespace velk::test
