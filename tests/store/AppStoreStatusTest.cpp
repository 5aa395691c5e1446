// The store's lasting states: a folder that goes and comes back, a pause that outlives a
// restart, failures waiting to be seen, and one notification per scan.
#include "store/AppStore.h"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <thread>

#include <unistd.h>

#include "platform/FolderLock.h"
#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "platform/XdgAutostartLoginItem.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ScopedEnv;
using Event = CompressionNotificationEvent;

/// Remembers the notifications it was asked to show.
class RecordingNotifier final : public Notifier {
public:
    NotificationAuthorization authorizationStatus() override {
        return NotificationAuthorization::authorized;
    }
    NotificationAuthorizationAnswer requestAuthorization() override { return {true, {}}; }
    std::optional<std::string> post(const std::string&, const std::string& title,
                                    const std::string&) override {
        std::scoped_lock lock(mutex_);
        titles_.push_back(title);
        return std::nullopt;
    }
    std::vector<std::string> titles() {
        std::scoped_lock lock(mutex_);
        return titles_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> titles_;
};

class AppStoreStatusTest : public ::testing::Test {
protected:
    test::TempDir dir_;
    fs::path folder_ = dir_ / "Inbox";
    fs::path supportDir_ = dir_ / "support";
    ScopedEnv configDir_{"VELK_CONFIG_DIR", supportDir_.native()};
    ScopedEnv logDir_{"VELK_LOG_DIR", (dir_ / "logs").native()};
    ScopedEnv toolDir_{"VELK_TOOL_DIR", (dir_ / "no-tools").native()};
    ScopedEnv home_{"HOME", dir_.path().native()};
    PosixFileSystem fs_;
    VipsImageCodec codec_;
    RecordingNotifier notifier_;
    XdgAutostartLoginItem loginItem_{dir_ / "autostart", "/opt/velk/VelkCompressor"};
    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
    Date now_ = std::chrono::system_clock::now();

    void SetUp() override { fs::create_directories(folder_); }

    std::shared_ptr<AppStore> makeStore(bool enabled = true) {
        if (!fs::exists(supportDir_ / "native-config.json")) {
            AppConfig config = AppStore::withChosenWatchDirectory(AppConfig{}, folder_);
            config.enabled = enabled;
            config.language = AppLanguage::english;
            EXPECT_TRUE(saveAppConfig(supportDir_ / "native-config.json", config));
        }
        FolderCompressor::Options options;
        options.registryFile = supportDir_ / "processed-files.json";
        options.watchEvents = false;
        return AppStore::create({.fileSystem = fs_,
                                 .codec = codec_,
                                 .notifier = notifier_,
                                 .loginItem = loginItem_,
                                 .mainExecutor =
                                     [this](std::function<void()> task) {
                                         std::scoped_lock lock(mutex_);
                                         tasks_.push_back(std::move(task));
                                     },
                                 .updater = nullptr,
                                 .engineOptions = options,
                                 .clock = [this] { return now_; },
                                 .folderCheckInterval = 20ms});
    }

    /// Runs the main thread's tasks until `done` holds; false after five seconds.
    bool runUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::function<void()> task;
            {
                std::scoped_lock lock(mutex_);
                if (!tasks_.empty()) {
                    task = std::move(tasks_.front());
                    tasks_.pop_front();
                }
            }
            if (task)
                task();
            else
                std::this_thread::sleep_for(5ms);
        }
        return true;
    }
    AppConfig saved() { return loadAppConfig(supportDir_ / "native-config.json"); }
};

TEST_F(AppStoreStatusTest, MissingFolderIsWaitedForAndTheEngineResumesWhenItIsBack) {
    fs::remove_all(folder_);
    auto store = makeStore();
    store->start();
    EXPECT_TRUE(store->folderUnavailable());
    EXPECT_FALSE(store->isRunning());
    EXPECT_EQ(store->watcherError(), "Folder not found: ~/Inbox");
    EXPECT_TRUE(store->config().enabled) << "the switch keeps what the user chose";
    EXPECT_TRUE(saved().enabled);

    fs::create_directories(folder_);
    ASSERT_TRUE(runUntil([&] { return store->isRunning(); }));
    EXPECT_FALSE(store->folderUnavailable());
    EXPECT_EQ(store->watcherError(), std::nullopt);

    // Moved away while watched, then back again.
    fs::rename(folder_, dir_ / "elsewhere");
    ASSERT_TRUE(runUntil([&] { return store->folderUnavailable(); }));
    EXPECT_FALSE(store->isRunning());
    fs::rename(dir_ / "elsewhere", folder_);
    ASSERT_TRUE(runUntil([&] { return store->isRunning(); }));

    // Switched off, a missing folder is nobody's business.
    store->stop();
    fs::remove_all(folder_);
    runUntil([&] {
        std::this_thread::sleep_for(100ms);
        return true;
    });
    EXPECT_FALSE(store->folderUnavailable());
    store->notificationManager().waitUntilIdle();
    EXPECT_EQ(notifier_.titles(), std::vector<std::string>{"Folder unavailable"})
        << "told once; its going again fell within the cooldown";
}

TEST_F(AppStoreStatusTest, AFolderMadeAgainUnderItsNameIsTakenUnderItsOwnLockOrRefused) {
    auto store = makeStore();
    store->start();
    ASSERT_TRUE(store->isRunning());

    // Moved away and made again: the engine resumes on the new folder, holding its lock.
    fs::rename(folder_, dir_ / "Inbox.old");
    fs::create_directories(folder_);
    ASSERT_TRUE(runUntil(
        [&] { return store->isRunning() && FolderLock::holderOf(folder_) == ::getpid(); }));
    EXPECT_EQ(store->watcherError(), std::nullopt);

    // Another engine took the new folder first: this one stops and says so.
    fs::rename(folder_, dir_ / "Inbox.older");
    fs::create_directories(folder_);
    const FolderLock other = FolderLock::lockFolder(folder_);
    ASSERT_TRUE(runUntil([&] {
        return !store->isRunning() && !store->folderUnavailable() && store->watcherError();
    }));
    EXPECT_NE(store->watcherError()->find("is already being compressed by another program"),
              std::string::npos)
        << *store->watcherError();
}

TEST_F(AppStoreStatusTest, PauseOutlivesARestartAndEndsByItself) {
    {
        auto store = makeStore();
        store->start();
        ASSERT_TRUE(store->isRunning());
        store->pause(now_ + 1h);
        EXPECT_FALSE(store->isRunning());
        EXPECT_TRUE(store->config().enabled);
        EXPECT_TRUE(saved().paused);
        EXPECT_EQ(saved().pausedUntil,
                  std::chrono::time_point_cast<std::chrono::seconds>(now_ + 1h));
    }
    auto store = makeStore();
    store->start(); // as the launch does
    EXPECT_TRUE(store->isPaused());
    EXPECT_FALSE(store->isRunning());

    now_ += 61min;
    ASSERT_TRUE(runUntil([&] { return store->isRunning(); }));
    EXPECT_FALSE(store->isPaused());
    EXPECT_FALSE(saved().paused);

    // Until resumed: no time ends it; resume and stop both do.
    store->pause(std::nullopt);
    now_ += 24h * 365;
    runUntil([&] {
        std::this_thread::sleep_for(100ms);
        return true;
    });
    EXPECT_TRUE(store->isPaused());
    store->resume();
    EXPECT_TRUE(store->isRunning());
    store->pause(std::nullopt);
    store->stop();
    EXPECT_FALSE(saved().paused);
    EXPECT_FALSE(saved().enabled);
}

TEST_F(AppStoreStatusTest, FailuresWaitToBeSeenAndAScanIsToldInOneNotification) {
    auto store = makeStore();
    CompressionHistoryEntry failure;
    failure.sourceURL = folder_ / "a.jpg";
    failure.status = CompressionHistoryStatus::failed;
    CompressionHistoryEntry success = failure;
    success.status = CompressionHistoryStatus::compressed;
    success.originalBytes = 1000;
    success.outputBytes = 400;
    std::thread([&] {
        for (const char* name : {"a.jpg", "b.jpg", "c.jpg"})
            store->compressor().onEvent(Event(Event::ProcessingFailed{folder_ / name, "damaged"}));
        store->compressor().onEvent(Event(Event::UnsupportedFile{folder_ / "anim.gif"}));
        store->compressor().onHistory(failure);
        store->compressor().onHistory(failure);
        store->compressor().onHistory(success);
        store->compressor().onScanFinished(true);
    }).join();
    ASSERT_TRUE(runUntil([&] { return store->lastBatch().has_value(); }));
    store->notificationManager().waitUntilIdle();

    EXPECT_EQ(notifier_.titles(), std::vector<std::string>{"4 files were not compressed"});
    EXPECT_EQ(store->lastBatch(),
              (AppStore::BatchSummary{.files = 3, .failed = 2, .savedBytes = 600}));
    EXPECT_EQ(store->unseenFailures(), 2);
    store->acknowledgeFailures();
    EXPECT_EQ(store->unseenFailures(), 0);
}

} // namespace
} // namespace velk
