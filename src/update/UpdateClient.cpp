#include "update/UpdateClient.h"

#include <cstdlib>
#include <unistd.h>

#include "core/BuildSettings.h"
#include "core/Locations.h"
#include "platform/SystemInfo.h"
#include "update/BundleInfo.h"
#include "update/NullAppUpdater.h"

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
