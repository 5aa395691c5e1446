#pragma once

#include "store/AppUpdater.h"

namespace velk {

/// The update client of a build without one: always idle, and every request answers that
/// the system's package manager brings updates.
class NullAppUpdater final : public AppUpdater {
public:
    AppUpdaterState state() const override { return AppUpdaterState::idle; }
    void setOnChange(std::function<void()>) override {}
    std::optional<AppUpdateRelease> readyUpdate() const override { return std::nullopt; }
    void check(std::function<void(AppUpdateCheckAnswer)> completion) override {
        completion(unavailable());
    }
    void download(const AppUpdateRelease&,
                  std::function<void(std::optional<AppUpdateFailure>)> completion) override {
        completion(unavailable());
    }
    void installAndRestart(
        std::function<void(std::optional<AppUpdateFailure>)> completion) override {
        completion(unavailable());
    }

private:
    static AppUpdateFailure unavailable() {
        return {AppUpdateFailure::Kind::updatesManagedBySystem, "update client not built", {}};
    }
};

} // namespace velk
