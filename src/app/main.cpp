#include <cstdlib>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <variant>
#include <vector>

#include "app/HeadlessOptions.h"
#include "app/HeadlessRunner.h"
#include "app/MainLoop.h"
#include "app/SignalWatcher.h"
#include "app/UpdateCommand.h"
#include "app/shell/AppDelegate.h"
#include "app/shell/HistoryActions.h"
#include "app/shell/QtUserDialogs.h"
#include "app/shell/SingleInstance.h"
#include "core/Constants.h"
#include "core/Locations.h"
#include "core/NativeLog.h"
#include "core/Paths.h"
#include "core/Uuid.h"
#include "core/Version.h"
#include "engine/FolderCompressor.h"
#include "model/AppConfig.h"
#include "model/AppLanguage.h"
#include "platform/DBusNotifier.h"
#include "platform/HeapTuning.h"
#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "platform/XdgAutostartLoginItem.h"
#include "store/AppStore.h"
#include "store/InstanceLock.h"
#include "update/UpdateClient.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>

namespace {

/// The application support folder's lock, or the exit status when another program holds
/// it. A folder that cannot hold a lock is no reason to refuse work; a lock file that
/// cannot be trusted (a link planted under its name) is. `tellUser` also reaches a user
/// who has no terminal to read, given the holder's process id.
std::variant<std::optional<velk::FolderLock>, int>
lockInstance(const std::function<void(std::optional<int>)>& tellUser = {}) {
    using namespace velk;
    try {
        return std::optional<FolderLock>(lockApplicationSupportFolder());
    } catch (const FolderLockError& error) {
        if (error.kind() == FolderLockError::Kind::held && error.holderEnding()) {
            // Only a previous run that is still being torn down: no one to stop.
            const std::string pid = std::to_string(error.holderPid().value_or(0));
            NativeLog::write("Launch refused: previous run still ending pid=" + pid);
            std::cerr << "VelkCompressor: the previous run (process " << pid
                      << ") is still ending; start again in a moment\n";
            return 2;
        }
        if (error.kind() == FolderLockError::Kind::held) {
            const std::string holder =
                error.holderPid() ? " as process " + std::to_string(*error.holderPid()) : "";
            NativeLog::write("Launch refused: already running" + holder);
            std::cerr << "VelkCompressor: already running" << holder << " with the settings in "
                      << displayPath(velkApplicationSupportDirectory())
                      << "; stop it first, or point VELK_CONFIG_DIR elsewhere\n";
            if (tellUser)
                tellUser(error.holderPid());
            return 2;
        }
        if (error.kind() == FolderLockError::Kind::unsafe) {
            NativeLog::write(std::string("Launch refused: ") + error.what());
            std::cerr << "VelkCompressor: " << error.what() << '\n';
            return 2;
        }
        NativeLog::write(std::string("Instance lock unavailable: ") + error.what() + " " +
                         error.code().message());
        return std::optional<FolderLock>();
    }
}

/// A desktop notification for a tray launch refused because a run without a tray (a
/// service, a terminal) holds the settings: started from a menu, nothing else would show.
void notifyAlreadyRunning(std::optional<int> holderPid) {
    using namespace velk;
    // Only read: the settings belong to the running program.
    const AppLanguage language =
        loadAppConfig(velkApplicationSupportDirectory() / configFileName).language;
    const std::string pid = holderPid ? std::to_string(*holderPid) : "?";
    DBusNotifier notifier;
    notifier.post(Uuid::random().toString(), std::string(appName),
                  text(language,
                       "Уже работает без значка в трее (процесс " + pid +
                           "), например как служба. Остановите его, чтобы открыть меню.",
                       "Already running without a tray icon (process " + pid +
                           "), as a service for example. Stop it to open the menu."));
}

int runHeadless(const velk::HeadlessOptions& options) {
    using namespace velk;
    // Before the configuration is read or saved: a second run must change nothing.
    auto instance = lockInstance();
    if (const int* status = std::get_if<int>(&instance))
        return *status;

    MainLoop loop;
    HeadlessRunner* runner = nullptr;
    // First, before any thread exists, so that every later thread inherits the blocked
    // signals and only the watcher receives them.
    SignalWatcher signalWatcher([&loop, &runner](int) {
        loop.post([&runner] {
            if (runner)
                runner->stopForSignal();
        });
    });

    PosixFileSystem fileSystem;
    VipsImageCodec codec(fileSystem);
    DBusNotifier notifier;
    XdgAutostartLoginItem loginItem(XdgAutostartLoginItem::defaultAutostartDirectory(),
                                    XdgAutostartLoginItem::currentExecutable());
    FolderCompressor::Options engineOptions;
    if (options.jobs)
        engineOptions.jobs = *options.jobs;
    // A batch run has no one watching a panel: no breathing room between scans.
    if (options.once)
        engineOptions.pauseAfterFile = 0;
    const auto store = AppStore::create(AppStore::Services{
        .fileSystem = fileSystem,
        .codec = codec,
        .notifier = notifier,
        .loginItem = loginItem,
        .mainExecutor = loop.executor(),
        .updater = makeAppUpdater(fileSystem, loop.executor()),
        .engineOptions = std::move(engineOptions),
    });

    // Every value is checked before anything is saved.
    const AppConfig changed = options.apply(store->config(), codec);
    if (options.changesConfig())
        store->setConfig(changed);

    HeadlessRunner headless(*store, loop, std::cout, std::cerr,
                            {.once = options.once, .progressLine = ::isatty(STDOUT_FILENO) == 1});
    if (const auto status = headless.start())
        return *status;
    runner = &headless;
    const int status = loop.run();
    runner = nullptr;
    return status;
}

/// Puts originals back from a terminal. Only with the settings folder's lock, so that a
/// running program (tray or headless) never has its folder changed under its engine; the
/// tray program's own history window does the same through its engine's queue.
int runRestore(const velk::HeadlessOptions& options) {
    using namespace velk;
    auto instance = lockInstance([](std::optional<int>) {
        std::cerr << "VelkCompressor: nothing was restored; use \"Restore original\" in the "
                     "running program's history window, or quit it and run --restore again\n";
    });
    if (const int* status = std::get_if<int>(&instance))
        return *status;

    MainLoop loop;
    PosixFileSystem fileSystem;
    VipsImageCodec codec(fileSystem);
    DBusNotifier notifier;
    XdgAutostartLoginItem loginItem(XdgAutostartLoginItem::defaultAutostartDirectory(),
                                    XdgAutostartLoginItem::currentExecutable());
    const auto store = AppStore::create(AppStore::Services{
        .fileSystem = fileSystem,
        .codec = codec,
        .notifier = notifier,
        .loginItem = loginItem,
        .mainExecutor = loop.executor(),
        .updater = makeAppUpdater(fileSystem, loop.executor()),
    });
    int status = 0;
    for (const std::filesystem::path& file : options.restore) {
        const RestoreResult result = store->restoreOriginal(std::filesystem::absolute(file));
        (result.ok ? std::cout : std::cerr) << result.message << '\n';
        if (!result.ok)
            status = 1;
    }
    return status;
}

bool hasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    // An explicit platform (offscreen, vnc…) needs no display server.
    return std::getenv("QT_QPA_PLATFORM") != nullptr;
}

int runTray(int argc, char** argv, const std::optional<std::string>& show) {
    using namespace velk;
    // Before QApplication starts its threads, like the headless mode: SIGTERM from the
    // session's logout then quits through the event loop, which stops the engine cleanly.
    SignalWatcher signalWatcher([](int) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), &quitApplication,
                                  Qt::QueuedConnection);
    });
    // The store is destroyed before the application, and its engine and update client
    // with it, so no report arrives once the application is gone.
    const auto mainExecutor = [](std::function<void()> task) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(task),
                                  Qt::QueuedConnection);
    };
    PosixFileSystem fileSystem;
    // Also before QApplication: the first HTTP client initialises libcurl and its TLS
    // library, which must not race with the toolkit's own threads loading them.
    auto updater = makeAppUpdater(fileSystem, mainExecutor);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VelkCompressor"));
    QApplication::setDesktopFileName(QStringLiteral("velk-compressor"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("velk-compressor"),
                                                 QIcon(QStringLiteral(":/status-icon.svg"))));
    // The tray program has no main window: closing the last window must not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    const std::filesystem::path support = velkApplicationSupportDirectory();
    SingleInstance instance(QString::fromStdString(support.string()));
    const QString view = QString::fromStdString(show.value_or("panel"));
    switch (instance.claim(view)) {
    case SingleInstance::Role::primary:
        break;
    case SingleInstance::Role::handedOff:
        std::cout << "VelkCompressor: already running; asked it to show its " << view.toStdString()
                  << '\n';
        return 0;
    case SingleInstance::Role::heldElsewhere:
        NativeLog::write("Launch refused: another instance holds " + support.string());
        std::cerr << "VelkCompressor: another instance holds the folder " << support.string()
                  << " and does not answer; quit it first\n";
        return 1;
    }
    // Only now: a second tray is handed to the first above, and what remains is a run
    // without a tray (a service, a terminal) on the same settings, which must not get a
    // second engine.
    auto settingsLock = lockInstance(notifyAlreadyRunning);
    if (const int* status = std::get_if<int>(&settingsLock))
        return *status;

    VipsImageCodec codec(fileSystem);
    DBusNotifier notifier;
    XdgAutostartLoginItem loginItem(XdgAutostartLoginItem::defaultAutostartDirectory(),
                                    XdgAutostartLoginItem::currentExecutable());
    QtUserDialogs dialogs;
    const auto store = AppStore::create(AppStore::Services{
        .fileSystem = fileSystem,
        .codec = codec,
        .notifier = notifier,
        .loginItem = loginItem,
        .mainExecutor = mainExecutor,
        .updater = std::move(updater),
        .dialogs = &dialogs,
    });

    AppDelegate delegate(*store);
    HistoryActions actions;
    actions.restore = [&store](const std::filesystem::path& file,
                               std::function<void(const HistoryActions::RestoreResult&)> done) {
        store->restoreOriginal(file, [done = std::move(done)](const RestoreResult& result) {
            done(HistoryActions::RestoreResult{result.ok, result.message});
        });
    };
    actions.ignore = [&store](const std::filesystem::path& file) { store->ignoreFile(file); };
    actions.stopIgnoring = [&store](const std::filesystem::path& file) {
        store->stopIgnoring(file);
    };
    actions.ignoredFiles = [&store] { return store->ignoredFiles(); };
    delegate.setHistoryActions(std::move(actions));
    QObject::connect(&instance, &SingleInstance::showRequested, &delegate, &AppDelegate::showView);
    // Quitting stops the run without switching compression off: the next launch resumes.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [&store] {
        NativeLog::write("App quitting");
        store->compressor().stop();
    });
    QTimer::singleShot(0, &delegate, [&delegate, &view, show] {
        delegate.applicationDidFinishLaunching();
        if (show)
            delegate.showView(view);
    });
    return app.exec();
}

} // namespace

int main(int argc, char** argv) {
    using namespace velk;
    keepFreedImageBuffersForReuse();
    try {
        const HeadlessOptions options =
            HeadlessOptions::parse(std::vector<std::string>(argv + 1, argv + argc));
        if (options.mode != HeadlessOptions::Mode::help &&
            options.mode != HeadlessOptions::Mode::version) {
            // Names the version actually running, so the log shows which bundle an installed
            // update started.
            const RunningVersion running = runningProgramVersion();
            NativeLog::write(std::string("Starting ") + std::string(appName) + ' ' +
                             running.version + " (build " + running.build + ")");
            settlePreviousUpdate();
        }
        switch (options.mode) {
        case HeadlessOptions::Mode::help:
            std::cout << HeadlessOptions::helpText();
            return 0;
        case HeadlessOptions::Mode::version:
            std::cout << appName << ' ' << runningProgramVersion().version << '\n';
            return 0;
        case HeadlessOptions::Mode::headless:
            return runHeadless(options);
        case HeadlessOptions::Mode::restore:
            return runRestore(options);
        case HeadlessOptions::Mode::update: {
            MainLoop loop;
            PosixFileSystem fileSystem;
            const auto updater = makeAppUpdater(fileSystem, loop.executor());
            return runUpdateCommand(*updater, loop, std::cout, std::cerr);
        }
        case HeadlessOptions::Mode::none:
            break;
        }
        if (!hasDisplay()) {
            std::cerr << "VelkCompressor: no display ($DISPLAY or $WAYLAND_DISPLAY); run it "
                         "with --headless (see --help)\n";
            return 2;
        }
        return runTray(argc, argv, options.show);
    } catch (const UsageError& error) {
        std::cerr << "VelkCompressor: " << error.what() << '\n';
        return 2;
    } catch (const std::exception& error) {
        NativeLog::write(std::string("Fatal error ") + error.what());
        std::cerr << "VelkCompressor: " << error.what() << '\n';
        return 1;
    }
}
