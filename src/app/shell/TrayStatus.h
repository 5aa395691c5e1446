#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/DateTime.h"
#include "model/AppLanguage.h"
#include "model/CompressionStats.h"

namespace velk {

class AppStore;

/// The lasting state the tray icon and its tooltip show, highest priority first: what
/// keeps compression from running outranks what it is doing, which outranks what it did.
enum class TrayState {
    setup,             ///< no folder chosen yet
    folderUnavailable, ///< the folder is missing; waited for
    problem,           ///< the engine could not start for another reason
    off,               ///< automatic compression switched off
    paused,            ///< held back for a while or until resumed
    working,           ///< a batch is under way
    attention,         ///< files failed since the user last looked
    idle,              ///< watching, all done
};

/// What the state is decided from, gathered from the store so the rules run without it.
struct TrayFacts {
    bool hasFolder = false;
    bool enabled = false;
    bool running = false;
    bool folderUnavailable = false;
    std::optional<std::string> watcherError;
    bool paused = false;
    std::optional<Date> pausedUntil;
    CompressionStats stats;
    int unseenFailures = 0;
    /// "~/Pictures/Inbox".
    std::string folder;
    int compressedFiles = 0;
    std::int64_t savedBytes = 0;
    AppLanguage language = AppLanguage::english;
    Date now;

    static TrayFacts of(const AppStore& store);
};

TrayState trayState(const TrayFacts& facts);
/// The tooltip's line for the state: "Watching ~/Pictures/Inbox · 1,204 files · 312 MB
/// saved", "3 of 6 · holiday.jpg", "Paused until 14:00"…
std::string trayStatusLine(const TrayFacts& facts);
/// "Paused until 14:00", "Paused until tomorrow", "Paused" (no end), in local time.
std::string pausedText(const std::optional<Date>& until, Date now, AppLanguage language);
/// "3 of 6 · holiday.jpg"; "Compressing… 37%" from an engine that tells no batch size.
std::string batchProgressText(const CompressionStats& stats, AppLanguage language);
/// "1,204" / "1 204".
std::string groupedNumber(std::int64_t value, AppLanguage language);

} // namespace velk
