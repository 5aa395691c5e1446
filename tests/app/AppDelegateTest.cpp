#include "app/shell/AppDelegate.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include "app/shell/MenuPanel.h"
#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "platform/XdgAutostartLoginItem.h"
#include "store/AppStore.h"
#include "support/QuietNotifier.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;

class AppDelegateTest : public ::testing::Test {
protected:
    test::TempDir dir_;
    fs::path folder_ = dir_ / "Inbox";
    ScopedEnv configDir_{"VELK_CONFIG_DIR", (dir_ / "support").native()};
    ScopedEnv logDir_{"VELK_LOG_DIR", (dir_ / "logs").native()};
    ScopedEnv toolDir_{"VELK_TOOL_DIR", (dir_ / "no-tools").native()};
    PosixFileSystem fs_;
    VipsImageCodec codec_;
    test::QuietNotifier notifier_{false};
    XdgAutostartLoginItem loginItem_{dir_ / "autostart", "/opt/velk/VelkCompressor"};

    std::shared_ptr<AppStore> makeStore(const AppConfig& config) {
        EXPECT_TRUE(saveAppConfig(dir_ / "support" / "native-config.json", config));
        FolderCompressor::Options options;
        options.registryFile = dir_ / "support" / "processed-files.json";
        return AppStore::create({.fileSystem = fs_,
                                 .codec = codec_,
                                 .notifier = notifier_,
                                 .loginItem = loginItem_,
                                 .mainExecutor =
                                     [](std::function<void()> task) {
                                         QMetaObject::invokeMethod(QCoreApplication::instance(),
                                                                   std::move(task),
                                                                   Qt::QueuedConnection);
                                     },
                                 .updater = nullptr,
                                 .engineOptions = options});
    }

    AppConfig watchingWithCompressionOn() {
        fs::create_directories(folder_);
        AppConfig config = AppStore::withChosenWatchDirectory(AppConfig{}, folder_);
        config.enabled = true;
        return config;
    }

    std::string log() { return test::readFile(dir_ / "logs" / "native.log"); }
};

TEST_F(AppDelegateTest, SmokeModeQuitsSoonWithoutStartingTheEngineOnlyForExactlyOne) {
    for (const char* value : {"1", "true", "0"}) {
        ScopedEnv smoke("VELK_LAUNCH_SMOKE", value);
        auto store = makeStore(watchingWithCompressionOn());
        const std::size_t logBefore = log().size();
        AppDelegate delegate(*store);
        delegate.applicationDidFinishLaunching();
        const bool isSmoke = std::string(value) == "1";

        QElapsedTimer clock;
        clock.start();
        // Ends the loop when nothing else does: the launch was not a smoke launch.
        QTimer::singleShot(1500, qApp, [] { QCoreApplication::exit(7); });
        const int status = QApplication::exec();

        EXPECT_EQ(status, isSmoke ? 0 : 7) << value;
        EXPECT_EQ(store->isRunning(), !isSmoke) << value;
        EXPECT_EQ(log().find("Launch smoke complete", logBefore) != std::string::npos, isSmoke)
            << value;
        if (isSmoke) {
            EXPECT_GE(clock.elapsed(), AppDelegate::smokeQuitDelayMs);
            EXPECT_FALSE(delegate.panel()->isVisible()) << "smoke mode opens nothing";
        }
        store->stop();
    }
}

TEST_F(AppDelegateTest, LaunchOpensThePanelOnlyWhenTheUserHasSomethingToDo) {
    struct Case {
        bool hasFolder, hasWatcherError, hasTray, opens;
    };
    for (const Case& c : {Case{false, false, true, true}, Case{true, false, true, false},
                          Case{true, true, true, true}, Case{true, false, false, true}}) {
        EXPECT_EQ(AppDelegate::opensPanelAtLaunch(c.hasFolder, c.hasWatcherError, c.hasTray),
                  c.opens);
    }

    // The offscreen platform has no tray: the panel comes up as a window of its own,
    // after the engine of a configured folder has started.
    auto store = makeStore(watchingWithCompressionOn());
    AppDelegate delegate(*store);
    delegate.applicationDidFinishLaunching();
    EXPECT_FALSE(delegate.hasTray());
    EXPECT_TRUE(store->isRunning());
    EXPECT_TRUE(QTest::qWaitFor([&] { return delegate.panel()->isVisible(); }, 3000));
    EXPECT_TRUE(delegate.panel()->windowFlags().testFlag(Qt::Window));
    EXPECT_FALSE(delegate.panel()->windowFlags().testFlag(Qt::Popup));
    EXPECT_NE(log().find("No system tray; the panel opens as a window"), std::string::npos);

    // The panel answers a close by fading out; quitting must not wait for its consent.
    QTimer::singleShot(0, &delegate, &AppDelegate::quit);
    QTimer::singleShot(3000, qApp, [] { QCoreApplication::exit(7); });
    EXPECT_EQ(QApplication::exec(), 0) << "the Quit row ends the program with the panel open";

    // Without a tray, nothing could bring a hidden window back: its close button quits.
    QTimer::singleShot(0, delegate.panel(), [&] { delegate.panel()->close(); });
    QTimer::singleShot(3000, qApp, [] { QCoreApplication::exit(7); });
    EXPECT_EQ(QApplication::exec(), 0) << "closing the window ends the program";
    EXPECT_NE(log().find("Window closed without a tray; quitting"), std::string::npos);
    store->stop();
}

TEST_F(AppDelegateTest, NoticesFromTheEngineReachTheTitleOnTheMainThread) {
    AppConfig config = watchingWithCompressionOn();
    config.language = AppLanguage::english;
    auto store = makeStore(config);
    AppDelegate delegate(*store);
    delegate.applicationDidFinishLaunching();
    store->compressor().onEvent(CompressionNotificationEvent(
        CompressionNotificationEvent::UnsupportedFile{folder_ / "clip.mov"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return delegate.statusTitle() == " ! MOV"; }, 3000));
    store->stop();
}

} // namespace
} // namespace velk
