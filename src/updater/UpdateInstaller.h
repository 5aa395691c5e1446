#pragma once

#include "updater/Arguments.h"
#include "updater/ProcessControl.h"

#include <filesystem>
#include <functional>

namespace velk::updater {

/// What the installer takes from the machine; tests shorten the wait or make a copy fail.
struct InstallerEnvironment {
    ExitWait exitWait;
    std::filesystem::path temporaryDirectory;
    std::function<void(const std::filesystem::path& from, const std::filesystem::path& to)>
        copyBundle;
    std::function<bool(const std::filesystem::path& executable)> launch;

    /// The real machine: the user's temporary folder, the bundle copy, a detached launch.
    static InstallerEnvironment system();
};

/// One installation: wait for the old program, open the package, check its bundle, stage it,
/// move the installed bundle aside, copy the new one in and check it, or put the old one back.
class UpdateInstaller {
public:
    UpdateInstaller(Arguments arguments, InstallerEnvironment environment);

    /// Throws `UpdateHelperError`; on return the new bundle is in place (and started when the
    /// arguments asked for it).
    void install();

    /// Starts the program of the bundle at `bundle`; a bundle that cannot be started is left.
    void relaunch(const std::filesystem::path& bundle) const;

private:
    std::filesystem::path findUpdateApp(const std::filesystem::path& mountPoint) const;

    Arguments arguments_;
    InstallerEnvironment environment_;
    std::filesystem::path installed_;
};

} // namespace velk::updater
