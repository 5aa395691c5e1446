#pragma once

#include "updater/Arguments.h"
#include "updater/ProcessControl.h"

#include <filesystem>
#include <functional>
#include <string_view>

namespace velk::updater {

/// What the installer takes from the machine; tests shorten the wait, make the swap fall back
/// or stop an installation at one of its moments.
struct InstallerEnvironment {
    ExitWait exitWait;
    std::function<bool(const std::filesystem::path& executable)> launch;
    /// Trades two entries' places in one step; false where the file system cannot.
    std::function<bool(const std::filesystem::path&, const std::filesystem::path&)> exchange;
    /// Told each moment an installation reaches ("unpacked", "flushed", "aside", "swapped",
    /// "checked").
    std::function<void(std::string_view moment)> reached;

    /// The real machine: the atomic swap, a detached launch, nobody told.
    static InstallerEnvironment system();
};

/// One installation: wait for the old program, unpack the package beside the installed bundle,
/// check and flush the new bundle, then let the two trade places in one step and check the
/// result, or trade them back. At every moment a complete bundle, old or new, is at the
/// installed path; a killed installation leaves only a folder that the next run removes.
class UpdateInstaller {
public:
    UpdateInstaller(Arguments arguments, InstallerEnvironment environment);

    /// Throws `UpdateHelperError`; on return the new bundle is in place.
    void install();

    /// Starts the program of the bundle at `bundle`; a bundle that cannot be started is left.
    void relaunch(const std::filesystem::path& bundle) const;

private:
    std::filesystem::path findUpdateApp(const std::filesystem::path& mountPoint) const;
    void reached(std::string_view moment) const;
    /// Puts `staged` at the installed path; true when the old bundle took its place in the same
    /// step, false when it went to `previous` first.
    bool swapIn(const std::filesystem::path& staged, const std::filesystem::path& previous) const;
    void swapBack(const std::filesystem::path& staged, const std::filesystem::path& previous,
                  bool exchanged) const;

    Arguments arguments_;
    InstallerEnvironment environment_;
    std::filesystem::path installed_;
};

} // namespace velk::updater
