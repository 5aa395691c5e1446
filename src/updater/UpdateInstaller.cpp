#include "updater/UpdateInstaller.h"

#include "updater/BundleCopy.h"
#include "updater/BundleInfo.h"
#include "updater/MountedPackage.h"
#include "updater/TemporaryNames.h"
#include "updater/UpdateHelperError.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace velk::updater {

namespace fs = std::filesystem;

namespace {

/// Removes a folder the installation made when the installation ends, however it ends.
class ScopedRemoval {
public:
    explicit ScopedRemoval(fs::path path) : path_(std::move(path)) {}
    ScopedRemoval(const ScopedRemoval&) = delete;
    ScopedRemoval& operator=(const ScopedRemoval&) = delete;
    ~ScopedRemoval() { removeBundle(path_); }

private:
    fs::path path_;
};

// No trailing separator and no "." or ".." components, so the file name is the bundle's.
fs::path standardized(const fs::path& path) {
    std::error_code error;
    auto absolute = fs::absolute(path, error);
    auto normal = (error ? path : absolute).lexically_normal();
    if (!normal.has_filename() && normal.has_relative_path())
        normal = normal.parent_path();
    return normal;
}

std::string quoted(const fs::path& path) {
    return "\u201C" + path.filename().string() + "\u201D";
}

} // namespace

InstallerEnvironment InstallerEnvironment::system() {
    return InstallerEnvironment{ExitWait{}, userTemporaryDirectory(), updater::copyBundle,
                                launchDetached};
}

UpdateInstaller::UpdateInstaller(Arguments arguments, InstallerEnvironment environment)
    : arguments_(std::move(arguments)), environment_(std::move(environment)),
      installed_(standardized(arguments_.targetURL)) {}

void UpdateInstaller::install() {
    using Kind = UpdateHelperError::Kind;
    std::error_code error;
    if (!fs::exists(arguments_.diskImageURL, error)) {
        throw UpdateHelperError::installationFailed("The downloaded update is missing");
    }
    if (arguments_.targetURL.empty() || !fs::exists(arguments_.targetURL, error)) {
        throw UpdateHelperError::installationFailed("The installed application is missing");
    }
    if (arguments_.parentPID >= 1 && !waitForExit(arguments_.parentPID, environment_.exitWait)) {
        throw UpdateHelperError(Kind::parentDidNotExit);
    }

    const MountedPackage package(arguments_.diskImageURL, environment_.temporaryDirectory);
    const fs::path found = findUpdateApp(package.mountPoint());
    checkBundle(found, installed_, arguments_.expectedVersion);

    const fs::path staging =
        environment_.temporaryDirectory / ("VelkCompressor-Staged-" + randomUuidText());
    if (!fs::create_directories(staging, error) || error) {
        throw UpdateHelperError::installationFailed("Could not create the staging folder " +
                                                    staging.string() + ": " + error.message());
    }
    const ScopedRemoval stagingRemoval(staging);
    const fs::path staged = staging / installed_.filename();
    try {
        environment_.copyBundle(found, staged);
    } catch (const std::exception&) {
        throw UpdateHelperError::installationFailed("Could not stage the update");
    }

    const fs::path backup = installed_.parent_path() / ("." + installed_.filename().string() +
                                                        ".update-backup-" + randomUuidText());
    fs::rename(installed_, backup, error);
    if (error) {
        throw UpdateHelperError::installationFailed(quoted(installed_) + " could not be moved to " +
                                                    quoted(backup) + ": " + error.message());
    }

    try {
        try {
            environment_.copyBundle(staged, installed_);
        } catch (const std::exception&) {
            throw UpdateHelperError::installationFailed("Could not install the update");
        }
        checkBundle(installed_, installed_, arguments_.expectedVersion);
    } catch (const UpdateHelperError& failure) {
        removeBundle(installed_);
        fs::rename(backup, installed_, error);
        throw UpdateHelperError::installationFailed(failure.description());
    }

    removeBundle(backup);
    if (arguments_.relaunch)
        relaunch(installed_);
}

void UpdateInstaller::relaunch(const fs::path& bundle) const {
    if (const auto executable = bundleExecutable(bundle))
        environment_.launch(*executable);
}

fs::path UpdateInstaller::findUpdateApp(const fs::path& mountPoint) const {
    std::vector<fs::path> candidates;
    std::error_code error;
    for (auto it = fs::directory_iterator(mountPoint, error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
        const auto name = it->path().filename().string();
        if (!name.starts_with(".") && it->path().extension() == ".app")
            candidates.push_back(it->path());
    }
    if (error) {
        throw UpdateHelperError::installationFailed("Could not list the update disk image: " +
                                                    error.message());
    }
    // Sorted, so that which of several bundles wins does not depend on the file system.
    std::sort(candidates.begin(), candidates.end());
    const auto named =
        std::find_if(candidates.begin(), candidates.end(), [&](const fs::path& path) {
            return path.filename() == installed_.filename();
        });
    if (named != candidates.end())
        return *named;
    if (!candidates.empty())
        return candidates.front();
    throw UpdateHelperError(UpdateHelperError::Kind::updateAppMissing);
}

} // namespace velk::updater
