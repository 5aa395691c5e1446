#include <gtest/gtest.h>

#include <csignal>
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
using test::TestImages;

struct Outcome {
    std::optional<int> status;
    std::string out;
    std::string err;
};

/// The program under replace, where our results stand in for originals kept in the
/// folder's backups.
class OriginalsProgramTest : public ::testing::Test {
protected:
    TempDir dir_;
    fs::path folder_ = dir_ / "Inbox";
    int runs_ = 0;

    void SetUp() override {
        fs::create_directories(folder_);
        TestImages::jpeg(folder_ / "photo.jpg", 640, 480,
                         test::imageOptions().withDetail().withQuality(98));
        original_ = test::readFile(folder_ / "photo.jpg");
    }

    std::unique_ptr<ProgramProcess> launch(const std::vector<std::string>& arguments,
                                           const std::string& support = "support") {
        fs::create_directories(dir_ / "run");
        fs::permissions(dir_ / "run", fs::perms::owner_all);
        return std::make_unique<ProgramProcess>(
            VELK_PROGRAM_PATH, arguments,
            std::map<std::string, std::optional<std::string>>{
                {"QT_QPA_PLATFORM", std::nullopt},
                {"LC_ALL", std::nullopt},
                {"LC_MESSAGES", std::nullopt},
                {"LANG", "en_US.UTF-8"},
                {"VELK_CONFIG_DIR", (dir_ / support).native()},
                {"VELK_LOG_DIR", (dir_ / "logs").native()},
                {"HOME", (dir_ / "home").native()},
                {"XDG_CONFIG_HOME", (dir_ / "xdg-config").native()},
                {"XDG_DATA_HOME", (dir_ / "xdg-data").native()},
                {"XDG_RUNTIME_DIR", (dir_ / "run").native()},
                {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir_ / "no-bus").native()},
            },
            dir_ / ("run-" + std::to_string(++runs_)));
    }

    Outcome run(const std::vector<std::string>& arguments, const std::string& support = "support") {
        const auto process = launch(arguments, support);
        Outcome result;
        result.status = process->wait(120s);
        result.out = process->out();
        result.err = process->err();
        return result;
    }

    /// What a first run at `preset` makes of the original, in a folder of its own.
    std::string directEncode(const std::string& preset) {
        const fs::path folder = dir_ / ("direct-" + preset);
        fs::create_directories(folder);
        test::writeFile(folder / "photo.jpg", original_);
        const Outcome direct = run({"--headless", "--watch", folder.native(), "--originals",
                                    "replace", "--preset", preset, "--once"},
                                   "support-" + preset);
        EXPECT_EQ(direct.status, 0) << direct.out << direct.err;
        return test::readFile(folder / "photo.jpg");
    }

    std::vector<std::string> backups() const {
        std::vector<std::string> contents;
        const fs::path root = folder_ / ".velk-compressor-backups";
        if (fs::exists(root)) {
            for (const auto& entry : fs::recursive_directory_iterator(root)) {
                if (entry.is_regular_file())
                    contents.push_back(test::readFile(entry.path()));
            }
        }
        return contents;
    }

    std::string original_;
};

TEST_F(OriginalsProgramTest, ASettingsChangeRemakesTheFileFromItsOriginalNeverFromAResult) {
    const Outcome first =
        run({"--headless", "--watch", folder_.native(), "--originals", "replace", "--once"});
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    ASSERT_NE(test::readFile(folder_ / "photo.jpg"), original_);

    // Lower and then higher quality: each time what the original itself would give.
    for (const std::string preset : {"maximum", "gentle"}) {
        SCOPED_TRACE(preset);
        const Outcome changed = run({"--headless", "--preset", preset, "--once"});
        ASSERT_EQ(changed.status, 0) << changed.out << changed.err;
        const std::string result = test::readFile(folder_ / "photo.jpg");
        EXPECT_TRUE(result == directEncode(preset));
        if (result != original_) {
            // The history counts the original's bytes, not the previous result's.
            EXPECT_NE(changed.out.find(std::to_string(original_.size()) + " → "), std::string::npos)
                << changed.out;
        }
        EXPECT_EQ(backups(), std::vector<std::string>{original_});
    }

    // Without its original, our result is never encoded again, whatever the settings.
    const Outcome made = run({"--headless", "--preset", "maximum", "--once"});
    ASSERT_EQ(made.status, 0) << made.out << made.err;
    const std::string result = test::readFile(folder_ / "photo.jpg");
    fs::remove_all(folder_ / ".velk-compressor-backups");
    for (const std::string preset : {"gentle", "balanced"}) {
        const Outcome changed = run({"--headless", "--preset", preset, "--once"});
        ASSERT_EQ(changed.status, 0) << changed.out << changed.err;
        EXPECT_TRUE(test::readFile(folder_ / "photo.jpg") == result) << preset;
    }
}

TEST_F(OriginalsProgramTest, RestorePutsTheOriginalBackAndLaterRunsLeaveIt) {
    const Outcome first =
        run({"--headless", "--watch", folder_.native(), "--originals", "replace", "--once"});
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    // A picture the program never compressed has no original to give back.
    TestImages::jpeg(folder_ / "new.jpg", 320, 240, test::imageOptions().withDetail());
    const std::string fresh = test::readFile(folder_ / "new.jpg");

    const Outcome refused = run({"--restore", (folder_ / "new.jpg").native()});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("new.jpg: no backup of its original"), std::string::npos)
        << refused.err;
    EXPECT_TRUE(test::readFile(folder_ / "new.jpg") == fresh);

    // Never under a running program's engine: refused, and nothing changes.
    const std::string result = test::readFile(folder_ / "photo.jpg");
    {
        const auto running = launch({"--headless"});
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (running->out().find("Compressing the folder") == std::string::npos &&
               !running->hasExited() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        const Outcome busy = run({"--restore", (folder_ / "photo.jpg").native()});
        EXPECT_EQ(busy.status, 2);
        EXPECT_NE(busy.err.find("nothing was restored"), std::string::npos) << busy.err;
        EXPECT_TRUE(test::readFile(folder_ / "photo.jpg") == result);
        running->signal(SIGTERM);
        EXPECT_EQ(running->wait(60s), 0) << running->err();
    }

    const Outcome restored = run({"--restore", (folder_ / "photo.jpg").native()});
    ASSERT_EQ(restored.status, 0) << restored.out << restored.err;
    EXPECT_TRUE(test::readFile(folder_ / "photo.jpg") == original_);
    EXPECT_EQ(backups(), std::vector<std::string>{original_}) << "the backup is kept";

    // Left as it is by a plain run and by a settings change alike.
    for (const std::string preset : {"balanced", "maximum"}) {
        const Outcome later = run({"--headless", "--preset", preset, "--once"});
        ASSERT_EQ(later.status, 0) << later.out << later.err;
        EXPECT_TRUE(test::readFile(folder_ / "photo.jpg") == original_) << preset;
    }
}

} // namespace
} // namespace velk
