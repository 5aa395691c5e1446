#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velk {

/// The engine's live counters, replaced as a whole on every report.
struct CompressionStats {
    /// Files written since the engine started.
    int done = 0;
    /// Files in flight (being planned, encoded, checked or installed); 0 when idle.
    int active = 0;
    /// 0–100: the share of the current batch done; none when idle.
    std::optional<int> progress;
    /// Never lowered by a result that grew: negative savings count as 0.
    std::int64_t savedBytes = 0;
    int errors = 0;
    /// The batch under way: its size, how many of its files have ended and the name of
    /// one in progress. Zero, zero and none from an engine that does not tell them.
    int batchTotal = 0;
    int batchDone = 0;
    std::optional<std::string> currentFile;

    bool operator==(const CompressionStats&) const = default;
};

} // namespace velk
