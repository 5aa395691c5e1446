#pragma once

#include <string>
#include <variant>

#include "update/AppUpdateManifest.h"

namespace velk {

/// The answer of a successful check.
struct AppUpdateCheckResult {
    /// No newer release; carries the running program's version.
    struct UpToDate {
        std::string currentVersion;
        bool operator==(const UpToDate&) const = default;
    };
    /// A newer release that runs here.
    struct Available {
        AppUpdateManifest manifest;
        bool operator==(const Available&) const = default;
    };

    std::variant<UpToDate, Available> value;

    bool isAvailable() const { return std::holds_alternative<Available>(value); }
    bool operator==(const AppUpdateCheckResult&) const = default;
};

} // namespace velk
