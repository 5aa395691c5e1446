#include <gtest/gtest.h>

#include <deque>
#include <mutex>

#include "model/RecordDecodeError.h"
#include "platform/HttpClient.h"
#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "platform/XdgAutostartLoginItem.h"
#include "store/AppStore.h"
#include "support/QuietNotifier.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "update/AppUpdateError.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;
using test::TempDir;

/// A desktop whose user answers when the test says so.
class ScriptedDialogs final : public UserDialogs {
public:
    struct Shown {
        Alert alert;
        Window window;
        AlertCompletion completion;
    };
    std::vector<Shown> alerts;
    std::vector<std::string> errors;
    std::vector<fs::path> openedFolders;
    std::vector<std::string> openedURLs;
    std::function<void(std::optional<fs::path>)> pendingFolderChoice;
    fs::path folderDialogStart;
    int terminations = 0;

    void showAlert(const Alert& alert, Window window, AlertCompletion completion) override {
        alerts.push_back({alert, window, std::move(completion)});
    }
    void showError(const std::string& description, Window) override {
        errors.push_back(description);
    }
    void chooseFolder(const std::string&, const fs::path& start, Window,
                      std::function<void(std::optional<fs::path>)> done) override {
        folderDialogStart = start;
        pendingFolderChoice = std::move(done);
    }
    bool openFolder(const fs::path& folder) override {
        openedFolders.push_back(folder);
        return true;
    }
    bool openURL(const std::string& url) override {
        openedURLs.push_back(url);
        return true;
    }
    void activate() override {}
    void terminate() override { ++terminations; }

    /// Presses button `button` on the newest alert.
    void press(int button) { alerts.back().completion(button); }
};

/// An update client that answers at once, as the real one answers on the main thread.
class ScriptedUpdater final : public AppUpdater {
public:
    AppUpdaterState currentState = AppUpdaterState::idle;
    std::optional<AppUpdateManifest> ready;
    AppUpdateOutcome<AppUpdateCheckResult> checkAnswer =
        AppUpdateCheckResult{AppUpdateCheckResult::UpToDate{"1.0.0"}};
    std::exception_ptr downloadFailure;
    std::exception_ptr installFailure;
    int checks = 0;
    std::vector<std::string> downloads;

    AppUpdaterState state() const override { return currentState; }
    void setOnChange(std::function<void()>) override {}
    const std::optional<AppUpdateManifest>& readyUpdate() const override { return ready; }
    const std::optional<fs::path>& downloadedPackageURL() const override { return noPath_; }
    void check(CheckCompletion completion) override {
        ++checks;
        completion(checkAnswer);
    }
    void download(const AppUpdateManifest& manifest, DownloadCompletion completion) override {
        downloads.push_back(manifest.version);
        if (downloadFailure)
            return completion(downloadFailure);
        completion(fs::path("/tmp/update.dmg"));
    }
    void installAndRestart(InstallCompletion completion) override {
        if (installFailure)
            return completion(installFailure);
        completion(std::monostate{});
    }

private:
    std::optional<fs::path> noPath_;
};

AppUpdateCheckResult offering(std::string version, std::optional<std::string> notes = {}) {
    AppUpdateManifest manifest;
    manifest.version = std::move(version);
    manifest.notes = std::move(notes);
    return {AppUpdateCheckResult::Available{manifest}};
}

class AppStoreCommandsTest : public ::testing::Test {
protected:
    TempDir dir_;
    fs::path folder_ = dir_ / "Inbox";
    fs::path backups_ = folder_ / ".velk-compressor-backups";
    fs::path supportDir_ = dir_ / "support";
    ScopedEnv configDir_{"VELK_CONFIG_DIR", supportDir_.native()};
    ScopedEnv logDir_{"VELK_LOG_DIR", (dir_ / "logs").native()};
    ScopedEnv toolDir_{"VELK_TOOL_DIR", (dir_ / "no-tools").native()};
    PosixFileSystem fs_;
    VipsImageCodec codec_;
    test::QuietNotifier notifier_{false};
    XdgAutostartLoginItem loginItem_{dir_ / "autostart", "/opt/velk/VelkCompressor"};
    ScriptedDialogs dialogs_;
    ScriptedUpdater* updater_ = nullptr;
    std::deque<std::function<void()>> mainTasks_;
    std::mutex mainMutex_;
    int changes_ = 0;
    int window_ = 0;
    UserDialogs::Window window() { return &window_; }

    void SetUp() override { fs::create_directories(folder_); }

    std::shared_ptr<AppStore> makeStore(std::optional<fs::path> watch, bool russian = false) {
        AppConfig config;
        if (watch)
            config = AppStore::withChosenWatchDirectory(config, *watch);
        config.enabled = false;
        config.language = russian ? AppLanguage::russian : AppLanguage::english;
        EXPECT_TRUE(saveAppConfig(supportDir_ / "native-config.json", config));
        auto updater = std::make_unique<ScriptedUpdater>();
        updater_ = updater.get();
        FolderCompressor::Options options;
        options.registryFile = supportDir_ / "processed-files.json";
        options.pollingInterval = 0;
        options.watchEvents = false;
        auto store = AppStore::create({.fileSystem = fs_,
                                       .codec = codec_,
                                       .notifier = notifier_,
                                       .loginItem = loginItem_,
                                       .mainExecutor =
                                           [this](std::function<void()> task) {
                                               std::scoped_lock lock(mainMutex_);
                                               mainTasks_.push_back(std::move(task));
                                           },
                                       .updater = std::move(updater),
                                       .engineOptions = options,
                                       .dialogs = &dialogs_});
        store->onChange = [this] { ++changes_; };
        return store;
    }

    std::string log() { return test::readFile(dir_ / "logs" / "native.log"); }
    const UserDialogs::Alert& lastAlert() { return dialogs_.alerts.back().alert; }
};

TEST_F(AppStoreCommandsTest, CancellingTheFolderDialogChangesNothing) {
    auto store = makeStore(std::nullopt);
    store->selectWatchDirectory();
    EXPECT_TRUE(store->isChoosingDirectory());
    dialogs_.pendingFolderChoice(std::nullopt);

    EXPECT_FALSE(store->isChoosingDirectory());
    EXPECT_EQ(store->config().watchDirectory, std::nullopt);
    EXPECT_FALSE(store->isRunning());
    EXPECT_NE(log().find("Select watch directory response=0"), std::string::npos);
}

TEST_F(AppStoreCommandsTest, ChoosingAFolderStartsOrMovesTheRun) {
    auto store = makeStore(std::nullopt);
    store->selectWatchDirectory(window());
    dialogs_.pendingFolderChoice(folder_);
    EXPECT_TRUE(store->isRunning()) << "a stopped engine starts on the chosen folder";
    EXPECT_EQ(loadAppConfig(store->configURL()).watchDirectory, folder_);
    EXPECT_TRUE(loadAppConfig(store->configURL()).watchDirectoryBookmark);

    const fs::path other = dir_ / "Other";
    fs::create_directories(other);
    store->selectWatchDirectory();
    dialogs_.pendingFolderChoice(other);
    EXPECT_TRUE(store->isRunning());
    EXPECT_EQ(store->resolvedWatchDirectory(), other);
    EXPECT_EQ(store->watcherError(), std::nullopt);
    EXPECT_NE(log().find("Select watch directory response=1"), std::string::npos);
    store->stop();
}

TEST_F(AppStoreCommandsTest, FolderCommandsWithoutAFolderShowTheMissingFolderAlert) {
    const std::vector<std::function<void(AppStore&)>> commands = {
        [](AppStore& s) { s.openWatchDirectory(); }, [](AppStore& s) { s.openBackupDirectory(); },
        [this](AppStore& s) { s.clearBackups(window()); }};
    for (const std::optional<fs::path>& watch :
         {std::optional<fs::path>{}, std::optional<fs::path>{dir_ / "gone"}}) {
        auto store = makeStore(watch);
        for (const auto& command : commands) {
            dialogs_.alerts.clear();
            command(*store);
            ASSERT_EQ(dialogs_.alerts.size(), 1u);
            EXPECT_EQ(lastAlert().message, "No compression folder selected");
            EXPECT_EQ(dialogs_.alerts.back().window, nullptr) << "always application-modal";
        }
    }
    EXPECT_TRUE(dialogs_.openedFolders.empty());
}

TEST_F(AppStoreCommandsTest, BackupsAreOpenedOrClearedOnlyWhenTheyExist) {
    auto store = makeStore(folder_, /*russian=*/true);
    store->openBackupDirectory();
    EXPECT_EQ(lastAlert().message, "Бэкапов пока нет");
    EXPECT_EQ(lastAlert().informativeText,
              "Резервные копии появляются здесь, когда исходники заменяются.");
    EXPECT_EQ(dialogs_.alerts.back().window, nullptr);
    store->clearBackups(window());
    EXPECT_EQ(lastAlert().informativeText, "Папка с резервными копиями уже пуста.");
    EXPECT_EQ(dialogs_.alerts.back().window, window()) << "attached to the settings window";

    fs::create_directories(backups_ / "2026-12-08");
    test::writeFile(backups_ / "2026-12-08" / "a.jpg", "x");
    store->openBackupDirectory();
    EXPECT_EQ(dialogs_.openedFolders, std::vector<fs::path>{backups_});

    fs::create_directories(backups_ / "2026-12-09");
    test::writeFile(backups_ / "2026-12-09" / "b.jpg", "yy");
    store->clearBackups(window());
    EXPECT_EQ(lastAlert().message, "Удалить 2 бэкапа (3 байта)?") << "what goes, counted";
    EXPECT_EQ(lastAlert().informativeText, "Исходники в них нельзя будет восстановить.");
    EXPECT_EQ(lastAlert().defaultButton, 1u) << "Enter answers Cancel";
    EXPECT_EQ(lastAlert().style, UserDialogs::AlertStyle::warning);
    dialogs_.press(1);
    EXPECT_TRUE(fs::exists(backups_ / "2026-12-08" / "a.jpg")) << "Cancel keeps them";

    const int changes = changes_;
    store->clearBackups(window());
    dialogs_.press(0);
    EXPECT_FALSE(fs::exists(backups_));
    EXPECT_TRUE(fs::exists(folder_));
    EXPECT_EQ(changes_, changes + 1);
    EXPECT_TRUE(dialogs_.errors.empty());
}

TEST_F(AppStoreCommandsTest, UpdateCheckAnswersAreShownAndBusyChecksIgnored) {
    auto store = makeStore(folder_);
    updater_->currentState = AppUpdaterState::downloading;
    store->checkUpdates(window());
    EXPECT_EQ(updater_->checks, 0);
    EXPECT_TRUE(dialogs_.alerts.empty());

    updater_->currentState = AppUpdaterState::idle;
    store->checkUpdates(window());
    EXPECT_EQ(lastAlert().message, "You're up to date");
    EXPECT_EQ(lastAlert().informativeText,
              "The latest version of Velk | Compressor is installed (1.0.0).");

    const std::string offer =
        "The update will download and install automatically. The app will restart.";
    for (const auto& [notes, expected] :
         {std::pair<std::optional<std::string>, std::string>{std::nullopt, offer},
          {" \n\t\n ", offer},
          {" Faster PNG.\n", offer + "\n\n Faster PNG.\n"}}) {
        updater_->checkAnswer = offering("1.2.0", notes);
        store->checkUpdates(window());
        EXPECT_EQ(lastAlert().message, "Update 1.2.0 is available");
        EXPECT_EQ(lastAlert().informativeText, expected);
        EXPECT_EQ(lastAlert().buttons, (std::vector<std::string>{"Update now", "Later"}));
        dialogs_.press(1);
    }
    EXPECT_TRUE(updater_->downloads.empty()) << "Later downloads nothing";

    updater_->ready = std::get<AppUpdateCheckResult::Available>(offering("1.3.0").value).manifest;
    const int checks = updater_->checks;
    store->checkUpdates(window());
    EXPECT_EQ(updater_->checks, checks) << "a ready update is offered without checking";
    EXPECT_EQ(lastAlert().message, "Update 1.3.0 is available");
}

TEST_F(AppStoreCommandsTest, InstallingTerminatesAndAFailedInstallRestartsTheEngine) {
    auto store = makeStore(folder_);
    store->start();
    updater_->checkAnswer = offering("2.0.0");
    updater_->installFailure =
        std::make_exception_ptr(AppUpdateError::installation("installation failed: copy"));
    store->checkUpdates();
    dialogs_.press(0);
    EXPECT_EQ(updater_->downloads, std::vector<std::string>{"2.0.0"});
    EXPECT_TRUE(store->isRunning()) << "the engine runs again after the failed hand-off";
    EXPECT_EQ(lastAlert().message, "Could not update the app");
    EXPECT_EQ(lastAlert().informativeText, "The app could not be replaced. It was left unchanged.");
    EXPECT_NE(log().find("Update error: installation failed: copy"), std::string::npos);
    EXPECT_EQ(dialogs_.terminations, 0);

    updater_->installFailure = nullptr;
    store->checkUpdates();
    dialogs_.press(0);
    EXPECT_EQ(dialogs_.terminations, 1);
    EXPECT_FALSE(store->isRunning());
    EXPECT_NE(log().find("Update helper started; terminating for installation"), std::string::npos);
}

TEST_F(AppStoreCommandsTest, UpdateErrorsReadAsTheirKindInBothLanguages) {
    using Kind = AppUpdateError::Kind;
    struct Case {
        std::exception_ptr error;
        bool russian;
        std::string expected;
    };
    const auto error = [](auto value) { return std::make_exception_ptr(value); };
    const Case cases[] = {
        {error(AppUpdateError::httpStatus(503)), false,
         "The update server is temporarily unavailable. Try again later."},
        {error(AppUpdateError::unsupportedSystem("6.1.0")), true,
         "Эта версия требует Linux 6.1.0 или новее."},
        {error(AppUpdateError(Kind::checksumMismatch)), false,
         "The update file is damaged or does not match the published build."},
        {error(AppUpdateError(Kind::signatureInvalid)), true,
         "Файл обновления не подписан издателем приложения."},
        {error(AppUpdateError(Kind::signatureInvalid)), false,
         "The update file is not signed by the app's publisher."},
        {error(AppUpdateError(Kind::updatesFromPackageManager)), true,
         "Это приложение обновляется через системный менеджер пакетов."},
        {error(AppUpdateError(Kind::updatesFromPackageManager)), false,
         "This app is updated by the system's package manager."},
        {error(RecordDecodeError(RecordDecodeError::Kind::syntax, "not JSON")), false,
         "The update server returned invalid data."},
        {error(HttpError(HttpError::Kind::transport, "timed out")), true,
         "Сервер velk.app недоступен. Проверьте подключение к интернету и повторите попытку."},
        {error(HttpError(HttpError::Kind::transport, "timed out")), false,
         "velk.app could not be reached. Check your internet connection and try again."},
    };
    for (const Case& c : cases) {
        auto store = makeStore(folder_, c.russian);
        updater_->checkAnswer = c.error;
        store->checkUpdates(window());
        EXPECT_EQ(lastAlert().message,
                  c.russian ? "Не удалось проверить обновления" : "Could not check for updates")
            << "the check failed, not an update";
        EXPECT_EQ(lastAlert().informativeText, c.expected);
        EXPECT_EQ(dialogs_.alerts.back().window, window());
    }
}

TEST_F(AppStoreCommandsTest, WithoutAnUpdateClientTheCheckRefersToThePackageManager) {
    AppConfig config = AppStore::withChosenWatchDirectory(AppConfig{}, folder_);
    config.enabled = false;
    config.language = AppLanguage::english;
    ASSERT_TRUE(saveAppConfig(supportDir_ / "native-config.json", config));
    auto store = AppStore::create({.fileSystem = fs_,
                                   .codec = codec_,
                                   .notifier = notifier_,
                                   .loginItem = loginItem_,
                                   .mainExecutor = [](std::function<void()> task) { task(); },
                                   .updater = nullptr,
                                   .dialogs = &dialogs_});
    store->checkUpdates();
    EXPECT_EQ(lastAlert().informativeText, "This app is updated by the system's package manager.");
    EXPECT_NE(log().find("Update error: Updates for this installation come from the system's "
                         "package manager."),
              std::string::npos);
}

} // namespace
} // namespace velk
