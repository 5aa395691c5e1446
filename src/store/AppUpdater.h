#pragma once

#include <functional>

namespace velk {

enum class AppUpdaterState { idle, checking, downloading, installing, failed };

inline bool isBusy(AppUpdaterState state) {
    return state == AppUpdaterState::checking || state == AppUpdaterState::downloading ||
           state == AppUpdaterState::installing;
}

/// The update client as the store sees it: a state for the panel and a change callback.
/// The commands that check, download and install belong to the dialogs built on top.
class AppUpdater {
public:
    virtual ~AppUpdater() = default;

    virtual AppUpdaterState state() const = 0;
    bool isBusy() const { return velk::isBusy(state()); }

    /// Called after every change of state, on any thread; the store hops to its own.
    virtual void setOnChange(std::function<void()> onChange) = 0;
};

} // namespace velk
