#include "app/UpdateCommand.h"

#include <csignal>
#include <exception>
#include <string>

#include "app/SignalWatcher.h"
#include "core/Constants.h"
#include "core/NativeLog.h"

namespace velk {

namespace {

std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

} // namespace

int runUpdateCommand(AppUpdater& updater, MainLoop& loop, std::ostream& out, std::ostream& err) {
    // The update client starts its threads only with its first request, so this is still
    // before any other thread. Stopping ends the loop; the caller then destroys the client,
    // which aborts a download and removes what of it had arrived.
    SignalWatcher signalWatcher([&loop, &err](int signal) {
        loop.post([&loop, &err, signal] {
            NativeLog::write("Update stopped by signal " + std::to_string(signal));
            err << "VelkCompressor: update stopped\n";
            loop.quit(1);
        });
    });
    const auto fail = [&](const std::exception_ptr& error) {
        const std::string text = describe(error);
        NativeLog::write("Update error: " + text);
        err << "VelkCompressor: update failed: " << text << '\n';
        loop.quit(1);
    };
    const auto install = [&](const std::string& version) {
        // Waits for the installer rather than handing off and quitting: nothing here holds
        // the bundle, and a refusal must not end in a success.
        updater.installAndWait(
            [&, version] {
                NativeLog::write("Update helper started");
                out << "Installing " << appName << ' ' << version
                    << "; it starts again when done\n";
                out.flush();
            },
            [&](const AppUpdateOutcome<std::monostate>& outcome) {
                if (!outcome.succeeded())
                    return fail(outcome.error());
                NativeLog::write("Update installed");
                loop.quit(0);
            });
    };
    updater.check([&](const AppUpdateOutcome<AppUpdateCheckResult>& outcome) {
        if (!outcome.succeeded())
            return fail(outcome.error());
        const auto* available =
            std::get_if<AppUpdateCheckResult::Available>(&outcome.value().value);
        if (!available) {
            out << appName << ' '
                << std::get<AppUpdateCheckResult::UpToDate>(outcome.value().value).currentVersion
                << " is up to date\n";
            return loop.quit(0);
        }
        const AppUpdateManifest manifest = available->manifest;
        out << "Downloading " << appName << ' ' << manifest.version << '\n';
        out.flush();
        updater.download(manifest,
                         [&, manifest](const AppUpdateOutcome<std::filesystem::path>& downloaded) {
                             if (!downloaded.succeeded())
                                 return fail(downloaded.error());
                             install(manifest.version);
                         });
    });
    return loop.run();
}

} // namespace velk
