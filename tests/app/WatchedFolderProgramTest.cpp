// The program when its folder is removed, moved or reached through a link: it works only
// in a folder whose lock it holds.
#include <gtest/gtest.h>

#include <thread>

#include "app/ProgramProcess.h"
#include "support/TempDir.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ProgramProcess;
using test::TempDir;

class WatchedFolderProgramTest : public ::testing::Test {
protected:
    TempDir dir_;
    fs::path folder_ = dir_ / "Inbox";
    int runs_ = 0;

    void SetUp() override { fs::create_directories(folder_); }

    std::unique_ptr<ProgramProcess> launch(std::vector<std::string> arguments,
                                           const std::string& support = "support") {
        arguments.insert(arguments.begin(), "--headless");
        return std::make_unique<ProgramProcess>(
            VELK_PROGRAM_PATH, arguments,
            std::map<std::string, std::optional<std::string>>{
                {"VELK_CONFIG_DIR", (dir_ / support).native()},
                {"VELK_LOG_DIR", (dir_ / "logs").native()},
                {"LANG", "C.UTF-8"},
                {"HOME", (dir_ / "home").native()},
                {"XDG_RUNTIME_DIR", (dir_ / "run").native()},
                {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir_ / "no-bus").native()},
            },
            dir_ / ("run-" + std::to_string(++runs_)));
    }

    std::string log() {
        std::error_code error;
        const fs::path file = dir_ / "logs" / "native.log";
        return fs::exists(file, error) ? test::readFile(file) : std::string();
    }

    template <typename Condition>
    bool waitFor(ProgramProcess& process, Condition condition, std::chrono::seconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!condition()) {
            if (process.hasExited() || std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    static void drop(const fs::path& file) {
        test::TestImages::jpeg(file, 320, 240, test::imageOptions().withDetail().withQuality(98));
    }
};

TEST_F(WatchedFolderProgramTest, AFolderRemovedOrMovedAndMadeAgainIsWatchedAgainUnderItsLock) {
    auto engine = launch({"--watch", folder_.native()});
    ASSERT_TRUE(waitFor(
        *engine, [&] { return log().find("] Watching ") != std::string::npos; }, 60s))
        << engine->err();
    struct Case {
        const char* name;
        bool removed;
        const char* logged;
    };
    for (const Case& c : {Case{"removed", true, " was removed; "},
                          Case{"moved", false, " was moved away or replaced; "}}) {
        SCOPED_TRACE(c.name);
        if (c.removed)
            fs::remove_all(folder_);
        else
            fs::rename(folder_, dir_ / "Inbox.old");
        fs::create_directory(folder_);
        drop(folder_ / (std::string(c.name) + ".jpg"));
        EXPECT_TRUE(waitFor(
            *engine,
            [&] { return fs::exists(folder_ / (std::string(c.name) + "_velkcompressed.jpg")); },
            20s))
            << engine->err();
        EXPECT_NE(log().find(c.logged), std::string::npos) << log();
    }
    // It holds the new folder: a second engine there (other settings) is refused.
    auto second = launch({"--watch", folder_.native(), "--once"}, "other-support");
    EXPECT_EQ(second->wait(30s), 2) << second->out() << second->err();
    EXPECT_NE(second->err().find("process " + std::to_string(engine->pid())), std::string::npos)
        << second->err();
}

TEST_F(WatchedFolderProgramTest, ASingleRunWhoseFolderIsRemovedEndsAndSaysSo) {
    // Large enough that the run is still under way when the folder goes.
    test::TestImages::png(folder_ / "large.png", 3000, 3000, test::imageOptions().withDetail());
    auto run = launch({"--watch", folder_.native(), "--once"});
    ASSERT_TRUE(waitFor(
        *run, [&] { return log().find("] Watching ") != std::string::npos; }, 60s))
        << run->err();
    fs::remove_all(folder_);
    EXPECT_EQ(run->wait(60s), 2) << run->out() << run->err();
    EXPECT_NE(run->err().find("Folder not found"), std::string::npos) << run->err();
}

TEST_F(WatchedFolderProgramTest, AFolderReachedThroughALinkIsCompressedAsItsTarget) {
    const fs::path link = dir_ / "Pictures";
    fs::create_directory_symlink(folder_, link);
    drop(folder_ / "photo.jpg");
    // Saved, the link works for every later start too.
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--watch", link.native(), "--once"},
          std::vector<std::string>{"--once"}}) {
        auto run = launch(arguments);
        EXPECT_EQ(run->wait(120s), 0) << run->out() << run->err();
    }
    EXPECT_TRUE(fs::exists(folder_ / "photo_velkcompressed.jpg"));
}

} // namespace
} // namespace velk
