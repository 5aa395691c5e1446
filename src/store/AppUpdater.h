#pragma once

#include <functional>
#include <optional>
#include <string>
#include <variant>

namespace velk {

enum class AppUpdaterState { idle, checking, downloading, installing, failed };

inline bool isBusy(AppUpdaterState state) {
    return state == AppUpdaterState::checking || state == AppUpdaterState::downloading ||
           state == AppUpdaterState::installing;
}

/// A newer release the update client offers, as the user is asked about it.
struct AppUpdateRelease {
    std::string version;
    /// Release notes as published; may be blank.
    std::optional<std::string> notes;
};

/// Why a check, download or hand-off failed, as far as the user is told.
struct AppUpdateFailure {
    enum class Kind {
        invalidManifest,
        httpStatus,
        unsupportedSystem,
        installation,
        noUpdatePackage,
        appRunningFromDiskImage,
        updaterHelperMissing,
        checksumMismatch,
        signatureMismatch,
        /// This build has no update client: the system's package manager updates it.
        updatesManagedBySystem,
        /// Network and file errors.
        other,
    };
    Kind kind = Kind::other;
    /// The error's own description, for the log only (it may carry status codes).
    std::string description;
    /// The system version the release needs (unsupportedSystem only).
    std::string requiredSystemVersion;
};

struct AppUpdateUpToDate {
    /// The running program's version.
    std::string version;
};

using AppUpdateCheckAnswer = std::variant<AppUpdateUpToDate, AppUpdateRelease, AppUpdateFailure>;

/// The update client as the store sees it. Every completion runs on the main thread.
class AppUpdater {
public:
    virtual ~AppUpdater() = default;

    virtual AppUpdaterState state() const = 0;
    bool isBusy() const { return velk::isBusy(state()); }

    /// Called after every change of state, on any thread; the store hops to its own.
    virtual void setOnChange(std::function<void()> onChange) = 0;

    /// The release downloaded and verified earlier in this run, if any.
    virtual std::optional<AppUpdateRelease> readyUpdate() const = 0;
    virtual void check(std::function<void(AppUpdateCheckAnswer)> completion) = 0;
    /// Downloads and verifies `release` (one offered by check); none on success.
    virtual void download(const AppUpdateRelease& release,
                          std::function<void(std::optional<AppUpdateFailure>)> completion) = 0;
    /// Starts the installer on the ready update; none once it runs and the program must quit.
    virtual void installAndRestart(
        std::function<void(std::optional<AppUpdateFailure>)> completion) = 0;
};

} // namespace velk
