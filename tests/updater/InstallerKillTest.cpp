#include "support/TempDir.h"
#include "updater/UpdateInstaller.h"
#include "updater/UpdaterTestSupport.h"
#include "updater/WorkFolder.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace velk::updater {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

/// Every entry below a bundle: a file's bytes, a link's target, or "folder".
std::map<std::string, std::string> treeOf(const fs::path& root) {
    std::map<std::string, std::string> tree;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const auto name = fs::relative(it->path(), root).string();
        if (it->is_symlink())
            tree[name] = "link " + fs::read_symlink(it->path()).string();
        else if (it->is_directory())
            tree[name] = "folder";
        else
            tree[name] = test::readFile(it->path());
    }
    return tree;
}

/// A bundle with enough files that unpacking, flushing and removing it take a while.
void makeLargeBundle(const fs::path& bundle, const std::string& version) {
    test::makeBundle(bundle, {.version = version});
    fs::create_directories(bundle / "Contents/Resources/data");
    for (int i = 0; i < 30; ++i) {
        test::writeFile(bundle / "Contents/Resources/data" / std::to_string(i),
                        std::string(8192, static_cast<char>('a' + i % 26)) + version);
    }
}

/// The installer killed with SIGKILL part way, again and again: the installed path must hold
/// the old or the new bundle complete each time, and the next installer run must put right
/// whatever the killed one left.
class InstallerKillTest : public ::testing::Test {
protected:
    void SetUp() override {
        makeLargeBundle(dir_ / "old/VelkCompressor.app", "1.0.0");
        makeLargeBundle(dir_ / "new/VelkCompressor.app", "2.0.0");
        test::packFolder(package_, dir_ / "new/VelkCompressor.app");
        oldTree_ = treeOf(dir_ / "old/VelkCompressor.app");
        newTree_ = treeOf(dir_ / "new/VelkCompressor.app");
    }

    void freshInstalledBundle() {
        fs::remove_all(installed_.parent_path());
        fs::create_directories(installed_.parent_path());
        fs::copy(dir_ / "old/VelkCompressor.app", installed_,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }

    Arguments arguments() const {
        return Arguments{.parentPID = -1,
                         .targetURL = installed_,
                         .diskImageURL = package_,
                         .expectedVersion = "2.0.0"};
    }

    /// Which bundle the installed path holds whole: "old", "new", or what is wrong with it.
    std::string installedBundle() const {
        if (!fs::exists(installed_))
            return "nothing";
        const auto tree = treeOf(installed_);
        return tree == oldTree_ ? "old" : tree == newTree_ ? "new" : "an incomplete bundle";
    }

    std::vector<std::string> besideTheBundle() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(installed_.parent_path())) {
            if (entry.path() != installed_)
                names.push_back(entry.path().filename().string());
        }
        return names;
    }

    /// What a finished run leaves: the new bundle and nothing beside it.
    void expectRepairedByTheNextRun() {
        UpdateInstaller(arguments(), InstallerEnvironment::system()).install();
        EXPECT_EQ(installedBundle(), "new");
        EXPECT_EQ(besideTheBundle(), std::vector<std::string>{});
    }

    test::TempDir dir_;
    fs::path installed_ = dir_ / "Applications/VelkCompressor.app";
    fs::path package_ = dir_ / "update.dmg";
    std::map<std::string, std::string> oldTree_;
    std::map<std::string, std::string> newTree_;
};

TEST_F(InstallerKillTest, AKillAtAnyMomentLeavesACompleteBundleThatTheNextRunCompletes) {
    const std::pair<std::string, bool> moments[] = {
        {"unpacked", true}, {"flushed", true},   {"swapped", true},
        {"checked", true},  {"unpacked", false}, {"flushed", false},
        {"aside", false},   {"swapped", false},  {"checked", false},
    };
    for (const auto& [moment, exchange] : moments) {
        SCOPED_TRACE(moment + (exchange ? " with an exchange" : " without one"));
        freshInstalledBundle();
        const pid_t child = ::fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            auto environment = InstallerEnvironment::system();
            if (!exchange)
                environment.exchange = [](const fs::path&, const fs::path&) { return false; };
            environment.reached = [&moment](std::string_view now) {
                if (now == moment)
                    ::raise(SIGKILL);
            };
            try {
                UpdateInstaller(arguments(), environment).install();
            } catch (...) {
            }
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "not killed";
        // Before the swap the old bundle is there, after it the new one; never a gap, never a
        // mixture, except in the one instant without an exchange that the next run mends.
        const bool swapped = moment == "swapped" || moment == "checked";
        EXPECT_EQ(installedBundle(), moment == "aside" ? "nothing" : swapped ? "new" : "old");
        EXPECT_EQ(besideTheBundle().size(), 1u);
        expectRepairedByTheNextRun();
    }
}

TEST_F(InstallerKillTest, TheInstallerProgramKilledAtRandomMomentsNeverLosesTheBundle) {
    // The real program, killed after delays spread over one whole run's duration.
    const auto run = [&]() -> pid_t {
        const std::string program = VELK_UPDATER_PATH;
        std::vector<std::string> words = {
            program, "--pid",           "-1",        "--target", installed_.string(),
            "--dmg", package_.string(), "--version", "2.0.0"};
        std::vector<char*> argv;
        for (auto& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    };
    freshInstalledBundle();
    const auto started = std::chrono::steady_clock::now();
    int status = 0;
    ::waitpid(run(), &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - started);

    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<long> delay(0, whole.count());
    std::map<std::string, int> seen;
    for (int trial = 0; trial < 10; ++trial) {
        freshInstalledBundle();
        const pid_t child = run();
        const auto wait = std::chrono::microseconds(delay(random));
        std::this_thread::sleep_for(wait);
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        const std::string found = installedBundle();
        ++seen[found];
        EXPECT_TRUE(found == "old" || found == "new")
            << found << " after " << wait.count() << " µs of " << whole.count();
        expectRepairedByTheNextRun();
    }
    for (const auto& [bundle, count] : seen)
        std::cout << "killed with the " << bundle << " bundle in place: " << count << '\n';
}

} // namespace
} // namespace velk::updater
