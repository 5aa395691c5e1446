// The engine driven by the folder's change events, with the real clock: what starts a
// scan, and when the registry reaches the disk.
#include "engine/FolderCompressor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::TestImages;

/// The real file system, counting the registry's writes.
class CountingFileSystem : public PosixFileSystem {
public:
    void writeAtomically(const fs::path& target, std::string_view bytes) override {
        if (target.filename() == "processed-files.json")
            ++registryWrites;
        PosixFileSystem::writeAtomically(target, bytes);
    }
    std::atomic<int> registryWrites{0};
};

template <typename Predicate>
bool eventually(Predicate done, std::chrono::milliseconds timeout = 15s) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

class FolderWatchingTest : public ::testing::Test {
protected:
    test::TempDir dir_;
    fs::path folder_ = dir_ / "Inbox";
    test::ScopedEnv logDir_{"VELK_LOG_DIR", (dir_ / "logs").native()};
    test::ScopedEnv toolDir_{"VELK_TOOL_DIR", (dir_ / "no-tools").native()};
    CountingFileSystem fs_;
    VipsImageCodec codec_;
    FolderCompressor::Options options_;
    std::unique_ptr<FolderCompressor> engine_;
    std::atomic<int> history_{0};
    std::atomic<int> scans_{0};
    std::atomic<int> settledScans_{0};
    std::atomic<int> foldersLost_{0};

    void SetUp() override {
        fs::create_directories(folder_);
        options_.registryFile = dir_ / "support" / "processed-files.json";
        // No polling: only events (or the fallback under test) can start a scan.
        options_.pollingInterval = 0;
        options_.scanDebounceInterval = 0.05;
        options_.pauseAfterFile = 0;
    }

    void start() {
        engine_ = std::make_unique<FolderCompressor>(fs_, codec_, options_);
        engine_->onHistory = [this](const CompressionHistoryEntry&) { ++history_; };
        engine_->onScanFinished = [this](bool settled) {
            ++scans_;
            if (settled)
                ++settledScans_;
        };
        engine_->onFolderLost = [this] { ++foldersLost_; };
        engine_->start(AppConfig{}, folder_);
    }

    static void drop(const fs::path& file) {
        TestImages::jpeg(file, 320, 240, test::imageOptions().withDetail().withQuality(98));
    }
};

TEST_F(FolderWatchingTest, ANewFileIsCompressedFromEventsAndAnIdleFolderIsNeverScanned) {
    start();
    ASSERT_TRUE(eventually([&] { return settledScans_ >= 1; }));
    drop(folder_ / "photo.jpg");
    ASSERT_TRUE(eventually([&] { return history_ == 1; }));
    EXPECT_TRUE(fs::exists(folder_ / "photo_velkcompressed.jpg"));

    ASSERT_TRUE(eventually([&] { return settledScans_ >= 2; }));
    const int scans = scans_;
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(scans_, scans) << "nothing changed, so nothing should have been scanned";
    EXPECT_NE(test::readFile(dir_ / "logs" / "native.log").find("with file system events"),
              std::string::npos);
}

TEST_F(FolderWatchingTest, AFileWrittenWithoutEndDoesNotHoldBackTheOthers) {
    options_.scanDebounceInterval = 0.35;
    start();
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        std::ofstream log(folder_ / "download.log");
        while (writing) {
            log << "more\n" << std::flush;
            std::this_thread::sleep_for(20ms);
        }
    });
    drop(folder_ / "photo.jpg");
    EXPECT_TRUE(eventually([&] { return history_ == 1; }, 10s));
    writing = false;
    writer.join();
}

TEST_F(FolderWatchingTest, PollsWhenTheWatchCannotBeSetUp) {
    options_.pollingInterval = 0.1;
    options_.makeWatcher = [](const fs::path&,
                              FolderWatcher::Handler) -> std::unique_ptr<FolderWatcher> {
        throw std::system_error(ENOSPC, std::generic_category(), "inotify_add_watch");
    };
    start();
    drop(folder_ / "photo.jpg");
    EXPECT_TRUE(eventually([&] { return history_ == 1; }));
    EXPECT_NE(test::readFile(dir_ / "logs" / "native.log").find("by polling every 0.1 s"),
              std::string::npos);
}

// The lock's descriptor keeps a removed folder alive, so its removal brings no event of its
// own; the new folder under the name may be another engine's.
TEST_F(FolderWatchingTest, AFolderRemovedOrMovedAndMadeAgainIsLeftAloneUntilLockedAgain) {
    for (const bool removed : {true, false}) {
        SCOPED_TRACE(removed ? "removed" : "moved");
        history_ = 0;
        foldersLost_ = 0;
        start();
        drop(folder_ / "old.jpg");
        ASSERT_TRUE(eventually([&] { return history_ == 1; }));
        if (removed)
            fs::remove_all(folder_);
        else
            fs::rename(folder_, dir_ / "Inbox.old");
        fs::create_directories(folder_);
        drop(folder_ / "new.jpg");
        ASSERT_TRUE(eventually([&] { return foldersLost_ == 1; }, 5s));
        EXPECT_FALSE(engine_->holdsFolder());
        std::this_thread::sleep_for(1200ms); // past the new file's stability interval
        engine_->stop();
        EXPECT_FALSE(fs::exists(folder_ / "new_velkcompressed.jpg"));
        EXPECT_NE(test::readFile(dir_ / "logs" / "native.log")
                      .find(removed ? " was removed; " : " was moved away or replaced; "),
                  std::string::npos);

        start();
        EXPECT_TRUE(engine_->holdsFolder());
        EXPECT_TRUE(eventually([&] { return fs::exists(folder_ / "new_velkcompressed.jpg"); }));
        engine_->stop();
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
}

TEST_F(FolderWatchingTest, RegistryIsWrittenOncePerIntervalAndAtStop) {
    struct Case {
        double interval;
        bool writtenBeforeStop;
    };
    for (const Case& c : {Case{60, false}, Case{1.0, true}}) {
        SCOPED_TRACE(c.interval);
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        fs::remove(options_.registryFile);
        fs_.registryWrites = 0;
        history_ = 0;
        drop(folder_ / "a.jpg");
        drop(folder_ / "b.jpg");
        options_.registrySaveInterval = c.interval;
        start();
        ASSERT_TRUE(eventually([&] { return history_ == 2; }));
        if (c.writtenBeforeStop) {
            // Four decisions (two sources, two outputs) within the interval: one write, and
            // none more while nothing changes.
            EXPECT_TRUE(eventually([&] { return fs_.registryWrites >= 1; }));
            std::this_thread::sleep_for(1200ms);
        }
        EXPECT_EQ(fs_.registryWrites, c.writtenBeforeStop ? 1 : 0);
        engine_->stop();
        const std::string saved = test::readFile(options_.registryFile);
        EXPECT_NE(saved.find("a_velkcompressed.jpg"), std::string::npos);
        EXPECT_NE(saved.find("b_velkcompressed.jpg"), std::string::npos);
    }
}

TEST_F(FolderWatchingTest, RestartOverAnUnchangedFolderDecidesAndWritesNothing) {
    drop(folder_ / "photo.jpg");
    // Without outside tools a PNG's only candidate is a copy of itself: already optimal.
    TestImages::png(folder_ / "small.png", 64, 64, test::imageOptions().withDetail());
    start();
    ASSERT_TRUE(eventually([&] { return history_ == 2 && settledScans_ >= 1; }));
    engine_->stop();

    history_ = 0;
    settledScans_ = 0;
    fs_.registryWrites = 0;
    start();
    ASSERT_TRUE(eventually([&] { return settledScans_ >= 1; }));
    engine_->stop();
    EXPECT_EQ(history_, 0);
    EXPECT_EQ(fs_.registryWrites, 0);
}

} // namespace
} // namespace velk
