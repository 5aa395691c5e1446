#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "updater/UpdaterTestSupport.h"

#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace velk::updater {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

pid_t spawn(const std::vector<std::string>& command, const fs::path& errors = "/dev/null") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (const auto& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int status = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (status != 0)
        throw std::runtime_error("cannot start " + command.front());
    return pid;
}

int exitStatus(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// The installer program itself, started as the main program starts it.
class VelkUpdaterTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir_ / "tmp");
        test::makeBundle(installed_, {.version = "1.0.0"});
        test::makeBundle(dir_ / "release/VelkCompressor.app", {.version = "2.0.0"});
        fs::create_directories(package_.parent_path());
        test::packFolder(package_, dir_ / "release/VelkCompressor.app");
    }

    int run(const std::string& pid, const std::string& version) {
        return exitStatus(spawn({VELK_UPDATER_PATH, "--pid", pid, "--target", installed_.string(),
                                 "--dmg", package_.string(), "--result", result_.string(),
                                 "--version", version, "--relaunch"},
                                errors_));
    }

    /// The recorded outcome, its Result and Reason values one after the other.
    std::string recordedResult() const {
        const std::string text = test::readFile(result_);
        std::string values;
        for (const std::string key : {"Result", "Version", "Reason"}) {
            const auto at = text.find("<key>" + key + "</key>");
            if (at == std::string::npos)
                continue;
            const auto start = text.find("<string>", at) + 8;
            values += (values.empty() ? "" : " | ") +
                      text.substr(start, text.find("</string>", start) - start);
        }
        return values;
    }

    test::TempDir dir_;
    test::ScopedEnv tmpdir_{"TMPDIR", (dir_ / "tmp").string()};
    test::ScopedEnv marker_{"VELK_TEST_MARKER", (dir_ / "marker").string()};
    fs::path installed_ = dir_ / "Applications/VelkCompressor.app";
    fs::path package_ = dir_ / "tmp/VelkCompressor-Update-1/update.dmg";
    fs::path result_ = dir_ / "config/update-result.plist";
    fs::path errors_ = dir_ / "errors.txt";
};

TEST_F(VelkUpdaterTest, WaitsForTheOldProgramThenInstallsAndRelaunches) {
    const auto started = Clock::now();
    const pid_t oldProgram = spawn({"/bin/sleep", "1"});
    const int status = run(std::to_string(oldProgram), "2.0.0");
    const auto elapsed = Clock::now() - started;
    exitStatus(oldProgram);

    EXPECT_EQ(status, 0);
    EXPECT_EQ(test::readFile(errors_), "");
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_EQ(test::awaitMarker(dir_ / "marker"), "2.0.0");
    EXPECT_EQ(recordedResult(), "installed | 2.0.0");
    // The package has served; nothing of the installation stays in the temporary folder.
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp"));
}

TEST_F(VelkUpdaterTest, AFailureReportsOneLineAndRelaunchesTheOldBundle) {
    EXPECT_EQ(run("-1", "3.0.0"), 1);
    EXPECT_EQ(test::readFile(errors_),
              "VelkUpdater: The update bundle does not match the installed application\n");
    EXPECT_EQ(test::awaitMarker(dir_ / "marker"), "1.0.0");
    // Where the relaunched program reads why it is still the old version.
    EXPECT_EQ(recordedResult(),
              "failed | 3.0.0 | The update bundle does not match the installed application");
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp"));
}

TEST_F(VelkUpdaterTest, AnInvalidCommandLineOnlyReports) {
    EXPECT_EQ(exitStatus(spawn({VELK_UPDATER_PATH, "--relaunch", "--target", installed_.string()},
                               errors_)),
              1);
    EXPECT_EQ(test::readFile(errors_), "VelkUpdater: Invalid updater arguments\n");
}

} // namespace
} // namespace velk::updater
