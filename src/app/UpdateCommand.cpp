#include "app/UpdateCommand.h"

#include <exception>
#include <string>

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
    const auto fail = [&](const std::exception_ptr& error) {
        const std::string text = describe(error);
        NativeLog::write("Update error: " + text);
        err << "VelkCompressor: update failed: " << text << '\n';
        loop.quit(1);
    };
    const auto install = [&](const std::string& version) {
        updater.installAndRestart([&, version](const AppUpdateOutcome<std::monostate>& outcome) {
            if (!outcome.succeeded())
                return fail(outcome.error());
            NativeLog::write("Update helper started; terminating for installation");
            out << "Installing " << appName << ' ' << version << "; it starts again when done\n";
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
