// The program's lock on its settings folder, as a user meets it.
#include <gtest/gtest.h>

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

class InstanceProgramTest : public ::testing::Test {
protected:
    TempDir dir_;
    fs::path folder_ = dir_ / "Inbox";
    fs::path support_ = dir_ / "support";
    int runs_ = 0;

    void SetUp() override {
        fs::create_directories(folder_);
        fs::create_directories(support_);
        fs::create_directories(dir_ / "run");
        fs::permissions(dir_ / "run", fs::perms::owner_all);
    }

    std::unique_ptr<ProgramProcess> launch(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--headless", "--watch", folder_.native()});
        return std::make_unique<ProgramProcess>(
            VELK_PROGRAM_PATH, arguments,
            std::map<std::string, std::optional<std::string>>{
                {"VELK_CONFIG_DIR", support_.native()},
                {"VELK_LOG_DIR", (dir_ / "logs").native()},
                {"HOME", (dir_ / "home").native()},
                {"XDG_RUNTIME_DIR", (dir_ / "run").native()},
                {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir_ / "no-bus").native()},
            },
            dir_ / ("run-" + std::to_string(++runs_)));
    }
};

TEST_F(InstanceProgramTest, ALinkUnderTheLockFilesNameStopsTheRunInsteadOfBeingIgnored) {
    TestImages::jpeg(folder_ / "photo.jpg", 320, 240,
                     test::imageOptions().withDetail().withQuality(98));
    // Another program on these settings would lock the link's target, or nothing at all.
    fs::create_symlink(dir_ / "elsewhere.lock", support_ / "velk-compressor.lock");

    auto run = launch({"--originals", "keep", "--once"});
    EXPECT_EQ(run->wait(60s), 2) << run->out() << run->err();
    EXPECT_NE(run->err().find("symbolic link"), std::string::npos) << run->err();
    EXPECT_FALSE(fs::exists(folder_ / "photo_velkcompressed.jpg"));
    EXPECT_FALSE(fs::exists(dir_ / "elsewhere.lock"));
}

} // namespace
} // namespace velk
