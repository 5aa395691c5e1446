#include "core/NativeLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <thread>
#include <vector>

#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;
using test::TempDir;

class NativeLogTest : public ::testing::Test {
protected:
    TempDir dir_;
    fs::path logDir_ = dir_ / "logs" / "nested";
    ScopedEnv logEnv_{"VELK_LOG_DIR", logDir_.native()};
    ScopedEnv debugEnv_{"VELK_DEBUG_LOG", std::nullopt};

    fs::path current() const { return logDir_ / "native.log"; }
    fs::path rotated() const { return logDir_ / "native.log.1"; }
};

TEST_F(NativeLogTest, FirstLineCreatesFolderWithTimestampedLine) {
    NativeLog::write("Stop watcher");
    const std::string content = test::readFile(current());
    EXPECT_TRUE(std::regex_match(
        content, std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000\] Stop watcher\n)")))
        << content;
}

TEST_F(NativeLogTest, DebugLinesFollowTheVariableInAnyCase) {
    const std::vector<std::pair<std::optional<std::string>, bool>> cases = {
        {"TRUE", true}, {"Yes", true}, {"1", true},
        {"on", false},  {"2", false},  {std::nullopt, false}};
    for (const auto& [value, written] : cases) {
        ScopedEnv env("VELK_DEBUG_LOG", value);
        std::error_code ec;
        fs::remove(current(), ec);
        NativeLog::debug("trace");
        EXPECT_EQ(fs::exists(current()), written) << value.value_or("<unset>");
    }
}

TEST_F(NativeLogTest, RotatesOnlyAboveOneMillionBytes) {
    fs::create_directories(logDir_);
    std::string big(1'000'000, 'a');
    test::writeFile(current(), big);
    NativeLog::write("x");
    EXPECT_FALSE(fs::exists(rotated()));
    EXPECT_GT(fs::file_size(current()), 1'000'000u);

    // The file is now larger than the threshold: its last 500,000 bytes move over.
    std::string before = test::readFile(current());
    NativeLog::write("after");
    EXPECT_EQ(test::readFile(rotated()), before.substr(before.size() - 500'000));
    EXPECT_NE(test::readFile(current()).find("] after\n"), std::string::npos);
    EXPECT_LT(fs::file_size(current()), 100u);

    // A second rotation replaces the first rotated file.
    std::string second(1'000'001, 'b');
    test::writeFile(current(), second);
    NativeLog::write("again");
    EXPECT_EQ(test::readFile(rotated()), std::string(500'000, 'b'));
}

TEST_F(NativeLogTest, ConcurrentWritersLoseNoLineAcrossRotation) {
    fs::create_directories(logDir_);
    test::writeFile(current(), std::string(999'000, 'z') + "\n");
    constexpr int threads = 4;
    constexpr int perThread = 200;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t] {
            for (int i = 0; i < perThread; ++i) {
                NativeLog::write("worker=" + std::to_string(t) + " line=" + std::to_string(i) +
                                 " " + std::string(40, 'p'));
            }
        });
    }
    for (auto& worker : workers)
        worker.join();

    const std::string all = test::readFile(rotated()) + test::readFile(current());
    int complete = 0;
    for (int t = 0; t < threads; ++t) {
        for (int i = 0; i < perThread; ++i) {
            const std::string line = "] worker=" + std::to_string(t) +
                                     " line=" + std::to_string(i) + " " + std::string(40, 'p') +
                                     "\n";
            if (all.find(line) != std::string::npos)
                ++complete;
        }
    }
    EXPECT_EQ(complete, threads * perThread);
}

TEST_F(NativeLogTest, EveryMessageIsOneLineOfValidUtf8) {
    NativeLog::write(std::string("file=a\xFF") + "b");
    NativeLog::write("Processed x\n[2026-01-01 00:00:00 +0000] Removed leftover\x1b[2J.jpg");
    const std::string log = test::readFile(current());
    EXPECT_NE(log.find("file=a\xEF\xBF\xBD"
                       "b"),
              std::string::npos);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
    EXPECT_NE(log.find("x\\n[2026-01-01 00:00:00 +0000] Removed leftover\\x1b[2J"),
              std::string::npos)
        << log;
}

TEST_F(NativeLogTest, UnwritableFolderDropsTheLineQuietly) {
    test::writeFile(dir_ / "blocker", "file, not a folder");
    ScopedEnv env("VELK_LOG_DIR", (dir_ / "blocker" / "logs").native());
    NativeLog::write("lost");
    SUCCEED();
}

} // namespace
} // namespace velk
