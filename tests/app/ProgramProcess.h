#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velk::test {

/// A program started in the background with its output captured in files.
class ProgramProcess {
public:
    /// `environment` overrides the test's own: a value replaces the variable, none unsets it.
    ProgramProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                   const std::map<std::string, std::optional<std::string>>& environment,
                   const std::filesystem::path& outputPrefix);
    ProgramProcess(const ProgramProcess&) = delete;
    ProgramProcess& operator=(const ProgramProcess&) = delete;
    /// Kills and reaps a program still running.
    ~ProgramProcess();

    int pid() const { return pid_; }
    void signal(int number);
    /// The exit status (128 + the signal when one ended it), or none when the program was
    /// still running after `timeout`; it is then killed.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool hasExited();

    std::string out() const;
    std::string err() const;

private:
    int pid_ = -1;
    int pidfd_ = -1;
    std::optional<int> status_;
    std::filesystem::path outFile_;
    std::filesystem::path errFile_;
};

} // namespace velk::test
