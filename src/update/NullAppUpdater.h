#pragma once

#include <exception>

#include "update/AppUpdateError.h"
#include "update/AppUpdater.h"

namespace velk {

/// The update client of a build whose updates come from the system's package manager:
/// it never touches the network, stays idle and answers every command with
/// updatesFromPackageManager.
class NullAppUpdater final : public AppUpdater {
public:
    AppUpdaterState state() const override { return AppUpdaterState::idle; }
    const std::optional<AppUpdateManifest>& readyUpdate() const override { return none_; }
    const std::optional<std::filesystem::path>& downloadedPackageURL() const override {
        return noPath_;
    }
    void setOnChange(std::function<void()>) override {}

    void check(CheckCompletion completion) override { completion(refusal()); }
    void download(const AppUpdateManifest&, DownloadCompletion completion) override {
        completion(refusal());
    }
    void installAndRestart(InstallCompletion completion) override { completion(refusal()); }

private:
    static std::exception_ptr refusal() {
        return std::make_exception_ptr(
            AppUpdateError(AppUpdateError::Kind::updatesFromPackageManager));
    }

    std::optional<AppUpdateManifest> none_;
    std::optional<std::filesystem::path> noPath_;
};

} // namespace velk
