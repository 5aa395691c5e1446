#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace velk {

/// What the history and the settings can ask of the store beyond the history itself:
/// putting an original back and leaving a file alone. Each is optional; a view offers
/// the command only when its callback is given. All run on the main thread.
struct HistoryActions {
    struct RestoreResult {
        bool ok = false;
        /// What the user is told: why it failed, or what was done. May be empty on success.
        std::string message;
    };

    /// Puts the backed-up original of the file at `source` (the history row's source)
    /// back in its place, and calls `done` on the main thread once it is done or refused.
    std::function<void(const std::filesystem::path& source,
                       std::function<void(const RestoreResult&)> done)>
        restore;
    /// Records `source` so that the engine leaves it alone until it changes; kept across
    /// restarts.
    std::function<void(const std::filesystem::path& source)> ignore;
    std::function<void(const std::filesystem::path& source)> stopIgnoring;
    /// The files recorded by ignore, in any order.
    std::function<std::vector<std::filesystem::path>()> ignoredFiles;

    bool isIgnored(const std::filesystem::path& source) const;
};

} // namespace velk
