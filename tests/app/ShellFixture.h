#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>

#include <QCoreApplication>
#include <QTest>

#include "model/AppConfig.h"
#include "model/CompressionHistory.h"
#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "platform/XdgAutostartLoginItem.h"
#include "store/AppStore.h"
#include "support/QuietNotifier.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace velk::test {

/// An update client whose state the test sets.
class SettableUpdater final : public AppUpdater {
public:
    AppUpdaterState state() const override { return state_; }
    void setOnChange(std::function<void()> onChange) override { onChange_ = std::move(onChange); }
    void change(AppUpdaterState state) {
        state_ = state;
        if (onChange_)
            onChange_();
    }
    const std::optional<AppUpdateManifest>& readyUpdate() const override { return none_; }
    const std::optional<std::filesystem::path>& downloadedPackageURL() const override {
        return noPath_;
    }
    void check(CheckCompletion) override {}
    void download(const AppUpdateManifest&, DownloadCompletion) override {}
    void installAndRestart(InstallCompletion) override {}

private:
    std::atomic<AppUpdaterState> state_ = AppUpdaterState::idle;
    std::function<void()> onChange_;
    std::optional<AppUpdateManifest> none_;
    std::optional<std::filesystem::path> noPath_;
};

/// A real store on a temporary support folder, its main thread the Qt event loop.
class ShellTest : public ::testing::Test {
protected:
    TempDir dir_;
    std::filesystem::path folder_ = dir_ / "Inbox";
    std::filesystem::path supportDir_ = dir_ / "support";
    ScopedEnv configDir_{"VELK_CONFIG_DIR", supportDir_.native()};
    ScopedEnv logDir_{"VELK_LOG_DIR", (dir_ / "logs").native()};
    ScopedEnv toolDir_{"VELK_TOOL_DIR", (dir_ / "no-tools").native()};
    PosixFileSystem fs_;
    VipsImageCodec codec_;
    QuietNotifier notifier_;
    XdgAutostartLoginItem loginItem_{dir_ / "autostart", "/opt/velk/VelkCompressor"};
    SettableUpdater* updater_ = nullptr;
    std::shared_ptr<AppStore> store_;

    void SetUp() override { std::filesystem::create_directories(folder_); }

    /// Saves `config` and `history` where the store loads them, then creates the store.
    AppStore& makeStore(const AppConfig& config,
                        std::vector<CompressionHistoryEntry> history = {}) {
        EXPECT_TRUE(saveAppConfig(supportDir_ / "native-config.json", config));
        if (!history.empty()) {
            EXPECT_TRUE(CompressionHistory(std::move(history))
                            .save(supportDir_ / "compression-history.json"));
        }
        auto updater = std::make_unique<SettableUpdater>();
        updater_ = updater.get();
        FolderCompressor::Options options;
        options.registryFile = supportDir_ / "processed-files.json";
        store_ = AppStore::create({.fileSystem = fs_,
                                   .codec = codec_,
                                   .notifier = notifier_,
                                   .loginItem = loginItem_,
                                   .mainExecutor =
                                       [](std::function<void()> task) {
                                           QMetaObject::invokeMethod(QCoreApplication::instance(),
                                                                     std::move(task),
                                                                     Qt::QueuedConnection);
                                       },
                                   .updater = std::move(updater),
                                   .engineOptions = options});
        return *store_;
    }

    AppConfig watching(AppLanguage language = AppLanguage::english) const {
        AppConfig config = AppStore::withChosenWatchDirectory(AppConfig{}, folder_);
        config.enabled = false;
        config.language = language;
        return config;
    }
};

/// A history row with the given outcome and sizes.
inline CompressionHistoryEntry historyRow(CompressionHistoryStatus status,
                                          std::optional<std::int64_t> original,
                                          std::optional<std::int64_t> output,
                                          std::optional<std::string> message = std::nullopt) {
    CompressionHistoryEntry entry;
    entry.sourceURL = "/photos/holiday picture.png";
    entry.status = status;
    entry.originalBytes = original;
    entry.outputBytes = output;
    entry.message = std::move(message);
    return entry;
}

} // namespace velk::test
