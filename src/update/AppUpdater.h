#pragma once

#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <utility>
#include <variant>

#include "update/AppUpdateCheckResult.h"
#include "update/AppUpdateManifest.h"

namespace velk {

enum class AppUpdaterState { idle, checking, downloading, installing, failed };

inline bool isBusy(AppUpdaterState state) {
    return state == AppUpdaterState::checking || state == AppUpdaterState::downloading ||
           state == AppUpdaterState::installing;
}

/// What a finished update step hands its completion: a value or the error it failed
/// with (an AppUpdateError, a RecordDecodeError from the manifest, an HttpError or a
/// FileSystemError, passed on unchanged).
template <class T> class AppUpdateOutcome {
public:
    AppUpdateOutcome(T value) : value_(std::move(value)) {}
    AppUpdateOutcome(std::exception_ptr error) : value_(std::move(error)) {}

    bool succeeded() const { return std::holds_alternative<T>(value_); }
    /// Only when succeeded().
    const T& value() const { return std::get<T>(value_); }
    /// Null when succeeded().
    std::exception_ptr error() const {
        return succeeded() ? nullptr : std::get<std::exception_ptr>(value_);
    }

private:
    std::variant<T, std::exception_ptr> value_;
};

/// The update client as the store drives it: check, then download the release the user
/// accepted, then hand the verified package to the installer program.
///
/// Confined to the main thread: every state change, onChange call and completion happens
/// there. A command refused because another one is in flight gives no answer at all, so
/// the owner starts one only while !isBusy().
class AppUpdater {
public:
    using CheckCompletion = std::function<void(const AppUpdateOutcome<AppUpdateCheckResult>&)>;
    using DownloadCompletion = std::function<void(const AppUpdateOutcome<std::filesystem::path>&)>;
    using InstallCompletion = std::function<void(const AppUpdateOutcome<std::monostate>&)>;

    virtual ~AppUpdater() = default;

    virtual AppUpdaterState state() const = 0;
    bool isBusy() const { return velk::isBusy(state()); }
    /// The release whose package is downloaded and verified, with that package.
    virtual const std::optional<AppUpdateManifest>& readyUpdate() const = 0;
    virtual const std::optional<std::filesystem::path>& downloadedPackageURL() const = 0;

    /// Called after every change of state, before the completion of the same command.
    virtual void setOnChange(std::function<void()> onChange) = 0;

    virtual void check(CheckCompletion completion) = 0;
    virtual void download(const AppUpdateManifest& manifest, DownloadCompletion completion) = 0;
    /// Starts the installer program; on success the owner quits so that it can proceed.
    virtual void installAndRestart(InstallCompletion completion) = 0;
    /// For a run that has no engine to stop: starts the installer without asking it to wait
    /// for this process, calls `onStarted`, and answers once the installer has ended, with
    /// the reason it gives when it refused. By default a hand-off that answers at once.
    virtual void installAndWait(std::function<void()> onStarted, InstallCompletion completion) {
        installAndRestart([onStarted, completion](const AppUpdateOutcome<std::monostate>& outcome) {
            if (outcome.succeeded())
                onStarted();
            completion(outcome);
        });
    }
};

} // namespace velk
