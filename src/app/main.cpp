#include <exception>
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
#include "core/Constants.h"
#include "core/Locations.h"
#include "core/NativeLog.h"
#include "core/Paths.h"
#include "core/Version.h"
#include "platform/DBusNotifier.h"
#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "platform/XdgAutostartLoginItem.h"
#include "store/AppStore.h"
#include "store/InstanceLock.h"
#include "update/UpdateClient.h"

namespace {

/// The application support folder's lock, or the exit status when another program holds
/// it. A folder that cannot hold a lock is no reason to refuse work.
std::variant<std::optional<velk::FolderLock>, int> lockInstance() {
    using namespace velk;
    try {
        return std::optional<FolderLock>(lockApplicationSupportFolder());
    } catch (const FolderLockError& error) {
        if (error.kind() == FolderLockError::Kind::held) {
            std::cerr << "VelkCompressor: already running"
                      << (error.holderPid() ? " as process " + std::to_string(*error.holderPid())
                                            : std::string())
                      << " with the settings in " << displayPath(velkApplicationSupportDirectory())
                      << "; stop it first, or point VELK_CONFIG_DIR elsewhere\n";
            return 2;
        }
        NativeLog::write(std::string("Instance lock unavailable: ") + error.what() + " " +
                         error.code().message());
        return std::optional<FolderLock>();
    }
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
    SignalWatcher signals([&loop, &runner](int) {
        loop.post([&runner] {
            if (runner) runner->stopForSignal();
        });
    });

    PosixFileSystem fileSystem;
    VipsImageCodec codec;
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

    // Every value is checked before anything is saved.
    const AppConfig changed = options.apply(store->config(), codec);
    if (options.changesConfig()) store->setConfig(changed);

    HeadlessRunner headless(*store, loop, std::cout, std::cerr,
                            {.once = options.once, .progressLine = ::isatty(STDOUT_FILENO) == 1});
    if (const auto status = headless.start()) return *status;
    runner = &headless;
    const int status = loop.run();
    runner = nullptr;
    return status;
}

} // namespace

int main(int argc, char** argv) {
    using namespace velk;
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
        case HeadlessOptions::Mode::update: {
            MainLoop loop;
            PosixFileSystem fileSystem;
            const auto updater = makeAppUpdater(fileSystem, loop.executor());
            return runUpdateCommand(*updater, loop, std::cout, std::cerr);
        }
        case HeadlessOptions::Mode::none:
            break;
        }
        std::cerr << "VelkCompressor: the tray application is not built yet; run it with "
                     "--headless (see --help)\n";
        return 2;
    } catch (const UsageError& error) {
        std::cerr << "VelkCompressor: " << error.what() << '\n';
        return 2;
    } catch (const std::exception& error) {
        NativeLog::write(std::string("Fatal error ") + error.what());
        std::cerr << "VelkCompressor: " << error.what() << '\n';
        return 1;
    }
}
