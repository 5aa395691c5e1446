// Choosing a folder that already holds images asks before anything is compressed.
#include "store/AppStore.h"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>

#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "platform/XdgAutostartLoginItem.h"
#include "support/QuietNotifier.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;

/// A user who picks the folder and answers the question as the test says.
class AnsweringDialogs final : public UserDialogs {
public:
    fs::path start;
    std::vector<Alert> alerts;
    std::optional<fs::path> choice;
    int answer = 0;

    void showAlert(const Alert& alert, Window, AlertCompletion completion) override {
        alerts.push_back(alert);
        completion(answer);
    }
    void showError(const std::string&, Window) override {}
    void chooseFolder(const std::string&, const fs::path& from, Window,
                      std::function<void(std::optional<fs::path>)> done) override {
        start = from;
        done(choice);
    }
    bool openFolder(const fs::path&) override { return true; }
    bool openURL(const std::string&) override { return true; }
    void activate() override {}
    void terminate() override {}
};

class AppStoreFirstRunTest : public ::testing::Test {
protected:
    test::TempDir dir_;
    fs::path folder_ = dir_ / "Holiday";
    ScopedEnv configDir_{"VELK_CONFIG_DIR", (dir_ / "support").native()};
    ScopedEnv logDir_{"VELK_LOG_DIR", (dir_ / "logs").native()};
    ScopedEnv toolDir_{"VELK_TOOL_DIR", (dir_ / "no-tools").native()};
    ScopedEnv home_{"HOME", dir_.path().native()};
    PosixFileSystem fs_;
    VipsImageCodec codec_;
    test::QuietNotifier notifier_;
    XdgAutostartLoginItem loginItem_{dir_ / "autostart", "/opt/velk/VelkCompressor"};
    AnsweringDialogs dialogs_;
    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
    Date now_ = std::chrono::system_clock::now();

    void SetUp() override {
        fs::create_directories(folder_);
        test::TestImages::jpeg(folder_ / "beach.jpg", 320, 240,
                               test::imageOptions().withDetail().withQuality(98));
        test::TestImages::png(folder_ / "map.png", 96, 64, test::imageOptions().withDetail());
    }

    std::shared_ptr<AppStore> makeStore() {
        FolderCompressor::Options options;
        options.registryFile = dir_ / "support" / "processed-files.json";
        options.clock = [this] {
            std::scoped_lock lock(mutex_);
            return now_;
        };
        options.pollingInterval = 0;
        options.watchEvents = false;
        options.scanDebounceInterval = 0;
        options.pauseAfterFile = 0;
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
                                 .dialogs = &dialogs_});
    }

    /// Lets every file settle and be processed, then delivers what the engine reported.
    void processFolder(AppStore& store) {
        store.compressor().scanNow();
        {
            std::scoped_lock lock(mutex_);
            now_ += std::chrono::seconds(1);
        }
        store.compressor().scanNow();
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

    std::map<std::string, std::string> folderContents() {
        std::map<std::string, std::string> contents;
        for (const auto& entry : fs::directory_iterator(folder_))
            if (entry.is_regular_file())
                contents[entry.path().filename()] = test::readFile(entry.path());
        return contents;
    }
};

TEST_F(AppStoreFirstRunTest, TheQuestionCountsTheImagesAndBothAnswersAreKept) {
    for (const int answer : {0, 1}) {
        SCOPED_TRACE(answer == 0 ? "compress them now" : "only new images");
        fs::remove_all(dir_ / "support");
        fs::remove_all(folder_);
        SetUp();
        fs::create_directories(dir_ / "Pictures");
        const auto before = folderContents();
        auto store = makeStore();
        dialogs_ = {};
        dialogs_.choice = folder_;
        dialogs_.answer = answer;
        store->setLanguage(AppLanguage::english);
        store->selectWatchDirectory();
        EXPECT_EQ(dialogs_.start, dir_ / "Pictures") << "no folder yet: ~/Pictures";
        ASSERT_EQ(dialogs_.alerts.size(), 1u);
        EXPECT_TRUE(dialogs_.alerts[0].message.starts_with("This folder has 2 images ("))
            << dialogs_.alerts[0].message;
        EXPECT_TRUE(dialogs_.alerts[0].message.ends_with(
            "). Compress them now, or only new images from now on?"));
        ASSERT_TRUE(store->isRunning());
        EXPECT_TRUE(store->offersAutostart());
        processFolder(*store);

        if (answer == 0) {
            EXPECT_EQ(store->history().size(), 2u);
            EXPECT_GT(folderContents().size(), before.size()) << "outputs beside the sources";
            continue;
        }
        EXPECT_TRUE(store->history().empty());
        EXPECT_EQ(folderContents(), before) << "left exactly as they were";

        // New images are still compressed; the old ones stay untouched across a restart.
        test::TestImages::jpeg(folder_ / "new.jpg", 320, 240,
                               test::imageOptions().withDetail().withQuality(98));
        processFolder(*store);
        EXPECT_EQ(store->history().size(), 1u);
        store->stop();
        store.reset();
        auto restarted = makeStore();
        restarted->start();
        processFolder(*restarted);
        EXPECT_EQ(restarted->history().size(), 1u);
        const auto after = folderContents();
        for (const char* name : {"beach.jpg", "map.png"})
            EXPECT_EQ(after.at(name), before.at(name)) << name;
        // Nor does a settings change decide them again.
        restarted->updateConfig(
            [](AppConfig& config) { config.preset = CompressionPreset::maximum; });
        processFolder(*restarted);
        EXPECT_EQ(restarted->history().size(), 1u);
        for (const char* name : {"beach.jpg", "map.png"})
            EXPECT_EQ(test::readFile(folder_ / name), before.at(name)) << name;
        restarted->selectWatchDirectory();
        EXPECT_EQ(dialogs_.start, folder_) << "the folder dialog opens in the current folder";
        EXPECT_EQ(dialogs_.alerts.size(), 1u) << "the same folder again asks nothing";
        restarted->stop();
    }
}

TEST_F(AppStoreFirstRunTest, AnIgnoredFileStaysIgnoredAcrossARestartUntilItIsNoLonger) {
    dialogs_.choice = folder_;
    dialogs_.answer = 1;
    auto store = makeStore();
    store->selectWatchDirectory();
    const fs::path photo = folder_ / "later.jpg";
    test::TestImages::jpeg(photo, 320, 240, test::imageOptions().withDetail().withQuality(98));
    const std::string original = test::readFile(photo);
    store->ignoreFile(photo);
    processFolder(*store);
    store->stop();
    store.reset();

    auto restarted = makeStore();
    restarted->start();
    processFolder(*restarted);
    EXPECT_TRUE(restarted->history().empty());
    EXPECT_EQ(restarted->ignoredFiles(), std::vector<fs::path>{photo});
    EXPECT_EQ(test::readFile(photo), original);

    restarted->stopIgnoring(photo);
    EXPECT_TRUE(restarted->ignoredFiles().empty());
    processFolder(*restarted);
    ASSERT_EQ(restarted->history().size(), 1u);
    EXPECT_EQ(restarted->history()[0].sourceURL, photo);
    EXPECT_TRUE(fs::exists(folder_ / "later_velkcompressed.jpg"));
    restarted->stop();
}

// The history window asks and goes on: the answer comes later through the main loop, and
// never once the store is gone.
TEST_F(AppStoreFirstRunTest, ARestoreIsAnsweredOnTheMainLoopAndNotAfterTheStoreIsGone) {
    dialogs_.choice = folder_;
    dialogs_.answer = 1;
    auto store = makeStore();
    store->selectWatchDirectory();
    const fs::path photo = folder_ / "no-backup.jpg";
    test::TestImages::jpeg(photo, 64, 48, test::imageOptions());
    std::vector<RestoreResult> answers;
    store->restoreOriginal(photo, [&](const RestoreResult& result) { answers.push_back(result); });
    store->compressor().scanNow(); // after the restore, on the same queue
    EXPECT_TRUE(answers.empty()) << "answered off the main loop";
    processFolder(*store);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_FALSE(answers[0].ok) << "there is no backup to restore from";

    store->restoreOriginal(photo, [&](const RestoreResult& result) { answers.push_back(result); });
    store->compressor().scanNow();
    store->stop();
    store.reset();
    processFolder(*makeStore());
    EXPECT_EQ(answers.size(), 1u);
}

} // namespace
} // namespace velk
