#include "store/AppStore.h"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <thread>

#include "core/Paths.h"
#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "platform/XdgAutostartLoginItem.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;
using test::TempDir;
using test::TestImages;
using Event = CompressionNotificationEvent;

/// The main thread of these tests: tasks wait until the test drains them.
class ManualExecutor {
public:
    AppStore::MainExecutor executor() {
        return [this](std::function<void()> task) {
            std::scoped_lock lock(mutex_);
            tasks_.push_back(std::move(task));
        };
    }
    void drain() {
        for (;;) {
            std::function<void()> task;
            {
                std::scoped_lock lock(mutex_);
                if (tasks_.empty())
                    return;
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
    }

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
};

/// A desktop that always lets notifications through and remembers what it showed.
class MemoryNotifier final : public Notifier {
public:
    struct Posted {
        std::string title;
        std::string body;
    };
    NotificationAuthorization authorizationStatus() override {
        return NotificationAuthorization::authorized;
    }
    NotificationAuthorizationAnswer requestAuthorization() override { return {true, {}}; }
    std::optional<std::string> post(const std::string&, const std::string& title,
                                    const std::string& body) override {
        std::scoped_lock lock(mutex_);
        posted_.push_back({title, body});
        return std::nullopt;
    }
    std::vector<Posted> posted() {
        std::scoped_lock lock(mutex_);
        return posted_;
    }

private:
    std::mutex mutex_;
    std::vector<Posted> posted_;
};

class SettableUpdater final : public AppUpdater {
public:
    AppUpdaterState state() const override { return state_; }
    const std::optional<AppUpdateManifest>& readyUpdate() const override { return none_; }
    const std::optional<fs::path>& downloadedPackageURL() const override { return noPath_; }
    void setOnChange(std::function<void()> onChange) override { onChange_ = std::move(onChange); }
    void check(CheckCompletion) override {}
    void download(const AppUpdateManifest&, DownloadCompletion) override {}
    void installAndRestart(InstallCompletion) override {}
    void change(AppUpdaterState state) {
        state_ = state;
        onChange_();
    }

private:
    std::atomic<AppUpdaterState> state_ = AppUpdaterState::idle;
    std::function<void()> onChange_;
    std::optional<AppUpdateManifest> none_;
    std::optional<fs::path> noPath_;
};

class AppStoreTest : public ::testing::Test {
protected:
    TempDir dir_;
    fs::path folder_ = dir_ / "Inbox";
    fs::path supportDir_ = dir_ / "support";
    ScopedEnv configDir_{"VELK_CONFIG_DIR", supportDir_.native()};
    ScopedEnv logDir_{"VELK_LOG_DIR", (dir_ / "logs").native()};
    ScopedEnv toolDir_{"VELK_TOOL_DIR", (dir_ / "no-tools").native()};
    PosixFileSystem fs_;
    VipsImageCodec codec_;
    MemoryNotifier notifier_;
    XdgAutostartLoginItem loginItem_{dir_ / "autostart", "/opt/velk/VelkCompressor"};
    ManualExecutor main_;

    std::mutex clockMutex_;
    Date now_ = std::chrono::system_clock::now();
    std::vector<Event> notices_;
    int changes_ = 0;

    void SetUp() override { fs::create_directories(folder_); }

    std::shared_ptr<AppStore> makeStore(std::unique_ptr<AppUpdater> updater = nullptr) {
        FolderCompressor::Options options;
        options.registryFile = supportDir_ / "processed-files.json";
        options.clock = [this] {
            std::scoped_lock lock(clockMutex_);
            return now_;
        };
        options.pollingInterval = 0;
        options.watchEvents = false;
        options.scanDebounceInterval = 0;
        options.pauseAfterFile = 0;
        auto store = AppStore::create({.fileSystem = fs_,
                                       .codec = codec_,
                                       .notifier = notifier_,
                                       .loginItem = loginItem_,
                                       .mainExecutor = main_.executor(),
                                       .updater = std::move(updater),
                                       .engineOptions = options});
        store->onNotice = [this](const Event& event) { notices_.push_back(event); };
        store->onChange = [this] { ++changes_; };
        return store;
    }

    void writeConfig(const AppConfig& config) {
        ASSERT_TRUE(saveAppConfig(supportDir_ / "native-config.json", config));
    }
    AppConfig savedConfig() { return loadAppConfig(supportDir_ / "native-config.json"); }

    AppConfig watching(bool enabled = true) {
        AppConfig config = AppStore::withChosenWatchDirectory(AppConfig{}, folder_);
        config.enabled = enabled;
        config.language = AppLanguage::english;
        return config;
    }

    /// Lets the engine see every file in the folder as settled and process it, then
    /// delivers what it reported.
    void processFolder(AppStore& store) {
        store.compressor().scanNow();
        {
            std::scoped_lock lock(clockMutex_);
            now_ += std::chrono::seconds(1);
        }
        store.compressor().scanNow();
        main_.drain();
    }
};

TEST_F(AppStoreTest, StartSwitchesCompressionOnAndSavesItBeforeRunning) {
    writeConfig(watching(/*enabled=*/false));
    auto store = makeStore();
    store->start();
    main_.drain();

    EXPECT_TRUE(savedConfig().enabled);
    EXPECT_TRUE(store->config().enabled);
    EXPECT_TRUE(store->isRunning());
    EXPECT_EQ(store->watcherError(), std::nullopt);

    store->stop();
    EXPECT_FALSE(store->isRunning());
    EXPECT_FALSE(savedConfig().enabled) << "stop records the user's intent too";
}

TEST_F(AppStoreTest, StartWithoutFolderAsksForOneInTheConfiguredLanguage) {
    for (const auto& [language, expected] :
         {std::pair{AppLanguage::russian, "Выберите папку для сжатия"},
          std::pair{AppLanguage::english, "Choose a compression folder"}}) {
        AppConfig config;
        config.language = language;
        writeConfig(config);
        auto store = makeStore();
        store->start();
        EXPECT_EQ(store->watcherError(), expected);
        EXPECT_FALSE(store->isRunning());
        EXPECT_TRUE(notices_.empty()) << "a missing choice is not a failure";
    }
}

TEST_F(AppStoreTest, StartOnMissingFolderGivesErrorCountNoticeAndNotification) {
    AppConfig config = watching();
    config.watchDirectory = dir_ / "gone";
    config.watchDirectoryBookmark = (dir_ / "gone").native();
    writeConfig(config);
    auto store = makeStore();
    store->start();
    // The engine's last report before the failure arrives afterwards; it must not wipe out
    // the error the store counted.
    main_.drain();
    store->notificationManager().waitUntilIdle();

    EXPECT_FALSE(store->isRunning());
    ASSERT_TRUE(store->watcherError());
    EXPECT_EQ(store->watcherError()->rfind("Folder not found: ", 0), 0u) << *store->watcherError();
    EXPECT_EQ(store->stats().errors, 1);
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_EQ(notices_[0], Event(Event::WatcherFailed{*store->watcherError()}));
    const auto posted = notifier_.posted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].title, "Folder unavailable");

    // Once the folder exists, starting again clears the error.
    fs::create_directories(dir_ / "gone");
    store->start();
    EXPECT_TRUE(store->isRunning());
    EXPECT_EQ(store->watcherError(), std::nullopt);
}

TEST_F(AppStoreTest, LanguageChangeKeepsTheRunAndPresetChangeRestartsIt) {
    TestImages::jpeg(folder_ / "photo.jpg", 320, 240,
                     test::imageOptions().withDetail().withQuality(98));
    writeConfig(watching());
    auto store = makeStore();
    store->start();
    processFolder(*store);
    ASSERT_EQ(store->history().size(), 1u);
    ASSERT_EQ(store->stats().done, 1);

    store->setLanguage(AppLanguage::russian);
    main_.drain();
    EXPECT_TRUE(store->isRunning());
    EXPECT_EQ(store->stats().done, 1) << "a restart would have begun a fresh count";
    EXPECT_EQ(savedConfig().language, AppLanguage::russian);

    store->updateConfig([](AppConfig& config) { config.preset = CompressionPreset::maximum; });
    main_.drain();
    EXPECT_TRUE(store->isRunning());
    EXPECT_EQ(store->stats().done, 0) << "the engine started a new run";
    EXPECT_EQ(savedConfig().preset, CompressionPreset::maximum);
}

TEST_F(AppStoreTest, PresetChangeWhileStoppedOnlySaves) {
    writeConfig(watching());
    auto store = makeStore();
    store->updateConfig([](AppConfig& config) { config.preset = CompressionPreset::gentle; });
    main_.drain();
    EXPECT_FALSE(store->isRunning());
    EXPECT_EQ(store->watcherError(), std::nullopt);
    EXPECT_EQ(savedConfig().preset, CompressionPreset::gentle);
}

TEST_F(AppStoreTest, AlreadyOptimalIsANoticeButNeverANotification) {
    writeConfig(watching());
    auto store = makeStore();
    // Delivered the way the engine delivers them, from its own thread.
    std::thread([&] {
        store->compressor().onEvent(Event(Event::AlreadyOptimal{folder_ / "a.png"}));
        store->compressor().onEvent(Event(Event::ProcessingFailed{folder_ / "b.png", "broken"}));
        // A scan's failures are told when it ends.
        store->compressor().onScanFinished(true);
    }).join();
    EXPECT_TRUE(notices_.empty()) << "nothing runs off the main thread";
    main_.drain();
    store->notificationManager().waitUntilIdle();

    EXPECT_EQ(notices_.size(), 2u);
    const auto posted = notifier_.posted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].title, "Could not compress file");
}

TEST_F(AppStoreTest, HistoryKeepsTheNewest500AndSavesThem) {
    auto store = makeStore();
    std::vector<CompressionHistoryEntry> rows(501);
    for (auto& row : rows) {
        row.sourceURL = folder_ / "x.jpg";
        store->compressor().onHistory(row);
    }
    main_.drain();

    ASSERT_EQ(store->history().size(), 500u);
    EXPECT_EQ(store->history().front().id, rows.back().id);
    EXPECT_EQ(store->history().back().id, rows[1].id);
    const auto saved = CompressionHistory::load(store->historyURL());
    ASSERT_EQ(saved.entries().size(), 500u);
    EXPECT_EQ(saved.entries().front().id, rows.back().id);

    store->clearHistory();
    EXPECT_TRUE(CompressionHistory::load(store->historyURL()).entries().empty());
}

TEST_F(AppStoreTest, ReportsArrivingAfterTheStoreIsGoneAreDropped) {
    auto store = makeStore();
    CompressionHistoryEntry row;
    row.sourceURL = folder_ / "x.jpg";
    store->compressor().onHistory(row);
    const fs::path historyFile = store->historyURL();
    store.reset();
    main_.drain();
    EXPECT_FALSE(fs::exists(historyFile));
}

TEST_F(AppStoreTest, AutostartFollowsTheLoginItemOnlyWhenItDiffers) {
    auto store = makeStore();
    const fs::path entry = loginItem_.file();

    // An entry the user already has stays as it is.
    fs::create_directories(entry.parent_path());
    test::writeFile(entry, "[Desktop Entry]\nType=Application\nExec=/custom\n");
    store->setAutostart(true);
    EXPECT_EQ(test::readFile(entry), "[Desktop Entry]\nType=Application\nExec=/custom\n");
    EXPECT_TRUE(savedConfig().autostartAsked);

    store->setAutostart(false);
    EXPECT_FALSE(fs::exists(entry));

    store->setAutostart(true);
    EXPECT_TRUE(loginItem_.isEnabled());
    EXPECT_NE(test::readFile(entry).find("Exec=\"/opt/velk/VelkCompressor\""), std::string::npos);
    EXPECT_EQ(store->stats().errors, 0);
}

TEST_F(AppStoreTest, FailedSaveAndFailedLoginItemEachCountOneError) {
    auto store = makeStore();
    // A file where the folders should be: neither the login item nor the configuration
    // can be written.
    test::writeFile(dir_ / "autostart", "");
    store->setAutostart(true);
    EXPECT_EQ(store->stats().errors, 1);
    EXPECT_TRUE(store->config().autostart) << "the choice stands even when applying it failed";

    fs::remove_all(supportDir_);
    test::writeFile(supportDir_, "");
    store->setLanguage(AppLanguage::english);
    EXPECT_EQ(store->stats().errors, 2);
    EXPECT_EQ(store->config().language, AppLanguage::english);
}

TEST_F(AppStoreTest, BookmarkWinsOverTheStoredPathUnlessItCannotResolve) {
    const fs::path other = dir_ / "Other";
    struct Case {
        std::optional<std::string> bookmark;
        std::optional<fs::path> expected;
    };
    for (const auto& [bookmark, expected] :
         {Case{other.native(), other}, Case{"relative/path", folder_},
          Case{std::nullopt, folder_}}) {
        AppConfig config = watching();
        config.watchDirectoryBookmark = bookmark;
        writeConfig(config);
        EXPECT_EQ(makeStore()->resolvedWatchDirectory(), expected) << bookmark.value_or("none");
    }
}

TEST_F(AppStoreTest, UpdateButtonFollowsTheUpdaterOnTheMainThread) {
    auto updater = std::make_unique<SettableUpdater>();
    SettableUpdater& client = *updater;
    AppConfig config;
    config.language = AppLanguage::english;
    writeConfig(config);
    auto store = makeStore(std::move(updater));
    EXPECT_EQ(store->updateButtonTitle(), "Check");

    std::thread([&] { client.change(AppUpdaterState::downloading); }).join();
    const int before = changes_;
    main_.drain();
    EXPECT_EQ(changes_, before + 1);
    EXPECT_TRUE(store->isUpdateBusy());
    EXPECT_EQ(store->updateButtonTitle(), "Downloading…");
    store->setLanguage(AppLanguage::russian);
    EXPECT_EQ(store->updateButtonTitle(), "Скачивание…");
}

} // namespace
} // namespace velk
