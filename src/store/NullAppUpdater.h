#pragma once

#include "store/AppUpdater.h"

namespace velk {

/// An update client that never checks, so it is always idle and never changes.
class NullAppUpdater final : public AppUpdater {
public:
    AppUpdaterState state() const override { return AppUpdaterState::idle; }
    void setOnChange(std::function<void()>) override {}
};

} // namespace velk
