#include "update/UpdateClient.h"

#include <cstdlib>
#include <unistd.h>

#include "core/BuildSettings.h"
#include "core/Constants.h"
#include "core/Locations.h"
#include "core/NativeLog.h"
#include "core/Uuid.h"
#include "model/AppConfig.h"
#include "model/AppLanguage.h"
#include "platform/DBusNotifier.h"
#include "platform/SystemInfo.h"
#include "update/BundleInfo.h"
#include "update/NullAppUpdater.h"
#include "update/PreviousUpdate.h"

#if VELK_UPDATE_CLIENT
#include "model/Base64.h"
#include "platform/CurlHttpClient.h"
#include "update/HttpsAppUpdater.h"
#endif

namespace velk {

namespace {

[[maybe_unused]] const char* nonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? value : nullptr;
}

} // namespace

namespace {

std::optional<std::filesystem::path> runningBundle() {
    const auto executable = currentExecutablePath();
    return executable ? bundleOfExecutable(*executable) : std::nullopt;
}

} // namespace

RunningVersion runningProgramVersion() {
    return runningVersion(runningBundle());
}

bool hasUpdateClient() {
    return VELK_UPDATE_CLIENT != 0;
}

void settlePreviousUpdate() {
    const auto outcome = settleUpdateLeftovers(runningBundle(), velkApplicationSupportDirectory() /
                                                                    installResultFileName);
    if (!outcome)
        return;
    if (outcome->installed) {
        NativeLog::write("Update to " + outcome->version + " installed");
        return;
    }
    NativeLog::write("Update to " + outcome->version + " refused: " + outcome->reason);
    // Only read: a running program may own the settings.
    const AppLanguage language =
        loadAppConfig(velkApplicationSupportDirectory() / configFileName).language;
    DBusNotifier notifier;
    notifier.post(Uuid::random().toString(), std::string(appName),
                  text(language,
                       "Обновление до версии " + outcome->version +
                           " не установлено: " + outcome->reason + ".",
                       "The update to version " + outcome->version +
                           " was not installed: " + outcome->reason + "."));
}

std::unique_ptr<AppUpdater>
makeAppUpdater([[maybe_unused]] FileSystem& fileSystem,
               [[maybe_unused]] std::function<void(std::function<void()>)> mainExecutor) {
#if VELK_UPDATE_CLIENT
    std::optional<std::filesystem::path> caFile;
    if (const char* file = nonEmptyEnv("VELK_UPDATE_CA_FILE"))
        caFile = file;
    const char* manifestOverride = nonEmptyEnv("VELK_UPDATE_MANIFEST_URL");

    HttpsAppUpdater::Environment environment;
    environment.bundle = runningBundle();
    environment.running = runningVersion(environment.bundle);
    environment.systemVersion = kernelVersion();
    environment.temporaryDirectory = temporaryDirectory();
    environment.processId = static_cast<int>(::getpid());
    environment.installResultFile = velkApplicationSupportDirectory() / installResultFileName;
    if (!updatePublisherKey.empty()) {
        // A key that does not decode trusts no package rather than every package.
        environment.publisherKey = base64Decode(updatePublisherKey).value_or("");
    }
    return std::make_unique<HttpsAppUpdater>(
        std::make_unique<CurlHttpClient>(caFile), fileSystem, std::move(mainExecutor),
        std::move(environment),
        std::string(manifestOverride ? manifestOverride : updateManifestURL));
#else
    return std::make_unique<NullAppUpdater>();
#endif
}

} // namespace velk
