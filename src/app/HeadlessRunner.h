#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "core/Uuid.h"
#include "model/CompressionHistoryEntry.h"

namespace velk {

class AppStore;
class MainLoop;

/// The headless mode's user interface: runs the store on the main loop and reports on
/// standard output what a window would show. Lives on the main thread.
class HeadlessRunner {
public:
    struct Settings {
        /// Exit once the folder has settled.
        bool once = false;
        /// Standard output is a terminal, so a progress line can be redrawn in place.
        bool progressLine = false;
    };

    HeadlessRunner(AppStore& store, MainLoop& loop, std::ostream& out, std::ostream& err,
                   Settings settings);

    /// Starts compressing. The exit status when that is impossible (no folder, or a folder
    /// that cannot be watched), with the reason already on `err`; none once running.
    std::optional<int> start();
    /// Stops the engine, cancelling the files in progress, and ends the loop with 0.
    void stopForSignal();

private:
    void storeDidChange();
    void printNewHistoryRows();
    void printLine(const std::string& line);
    void drawProgress();
    void clearProgress();
    void scanFinished(bool settled);

    AppStore& store_;
    MainLoop& loop_;
    std::ostream& out_;
    std::ostream& err_;
    Settings settings_;
    /// The newest history row already printed; rows above it are new.
    std::optional<Uuid> lastPrinted_;
    int failures_ = 0;
    std::optional<int> progressShown_;
    bool finished_ = false;
};

} // namespace velk
