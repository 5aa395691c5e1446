#include "updater/UpdateInstaller.h"

#include "updater/BundleInfo.h"
#include "updater/MountedPackage.h"
#include "updater/UpdateHelperError.h"
#include "updater/WorkFolder.h"

#include <algorithm>
#include <vector>

namespace velk::updater {

namespace fs = std::filesystem;

namespace {

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
    return InstallerEnvironment{ExitWait{}, launchDetached, exchangePaths, [](std::string_view) {}};
}

UpdateInstaller::UpdateInstaller(Arguments arguments, InstallerEnvironment environment)
    : arguments_(std::move(arguments)), environment_(std::move(environment)),
      installed_(standardized(arguments_.targetURL)) {}

void UpdateInstaller::reached(std::string_view moment) const {
    if (environment_.reached)
        environment_.reached(moment);
}

void UpdateInstaller::install() {
    using Kind = UpdateHelperError::Kind;
    std::error_code error;
    if (!fs::exists(arguments_.diskImageURL, error)) {
        throw UpdateHelperError::installationFailed("The downloaded update is missing");
    }
    // Before the installed bundle is looked for: a run killed earlier may have left it aside.
    if (!arguments_.targetURL.empty())
        repairInterruptedUpdate(installed_);
    if (arguments_.targetURL.empty() || !fs::exists(arguments_.targetURL, error)) {
        throw UpdateHelperError::installationFailed("The installed application is missing");
    }
    if (arguments_.parentPID >= 1 && !waitForExit(arguments_.parentPID, environment_.exitWait)) {
        throw UpdateHelperError(Kind::parentDidNotExit);
    }

    // Beside the installed bundle rather than in the temporary folder: on its file system the
    // new bundle moves in by a rename, with no copy that a kill could leave half done.
    const WorkFolder work(installed_);
    const MountedPackage package(arguments_.diskImageURL, work.path());
    reached("unpacked");
    const fs::path staged = findUpdateApp(package.mountPoint());
    checkBundle(staged, installed_, arguments_.expectedVersion);
    try {
        syncTree(staged);
        syncFolder(work.path());
    } catch (const fs::filesystem_error&) {
        throw UpdateHelperError::installationFailed("Could not stage the update");
    }
    reached("flushed");

    const bool exchanged = swapIn(staged, work.previous());
    reached("swapped");
    try {
        checkBundle(installed_, installed_, arguments_.expectedVersion);
    } catch (const UpdateHelperError& failure) {
        swapBack(staged, work.previous(), exchanged);
        throw UpdateHelperError::installationFailed(failure.description());
    }
    reached("checked");
    // The old bundle is in the work folder now, which goes with everything in it.
}

bool UpdateInstaller::swapIn(const fs::path& staged, const fs::path& previous) const {
    try {
        if (environment_.exchange(staged, installed_)) {
            syncFolder(installed_.parent_path());
            return true;
        }
    } catch (const fs::filesystem_error& failure) {
        throw UpdateHelperError::installationFailed(
            quoted(installed_) + " could not be replaced: " + failure.code().message());
    }
    // A file system that cannot exchange: for a moment nothing is at the installed path, and
    // a run killed then leaves the old bundle as `previous`, which the next run puts back.
    std::error_code error;
    fs::rename(installed_, previous, error);
    if (error) {
        throw UpdateHelperError::installationFailed(quoted(installed_) + " could not be moved to " +
                                                    quoted(previous) + ": " + error.message());
    }
    syncFolder(previous.parent_path());
    reached("aside");
    fs::rename(staged, installed_, error);
    if (error) {
        std::error_code ignored;
        fs::rename(previous, installed_, ignored);
        throw UpdateHelperError::installationFailed("Could not install the update");
    }
    syncFolder(installed_.parent_path());
    return false;
}

void UpdateInstaller::swapBack(const fs::path& staged, const fs::path& previous,
                               bool exchanged) const {
    std::error_code error;
    if (exchanged) {
        try {
            environment_.exchange(staged, installed_);
        } catch (const fs::filesystem_error&) {
        }
    } else {
        fs::rename(installed_, staged, error);
        if (!error)
            fs::rename(previous, installed_, error);
    }
    syncFolder(installed_.parent_path());
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
