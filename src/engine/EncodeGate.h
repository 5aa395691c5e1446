#pragma once

#include <condition_variable>
#include <mutex>

#include "engine/EngineControl.h"

namespace velk {

/// Lets one file at a time through a stage that needs much memory: the in-process AVIF
/// and HEIC encode, which holds the raster, libheif's copy of it and the encoder's
/// frames at once (about a gigabyte at 50 megapixels). Two of them side by side would
/// add up; a file waiting here holds only its raster, and the other files' stages (and
/// the queue) go on. One gate for the whole process, whatever the number of engines.
class EncodeGate {
public:
    /// Held while it lives; the next waiter enters when it goes.
    class Permit {
    public:
        /// Waits for the gate, looking at `control` now and then: a stop requested while
        /// waiting throws `cancelled` (FolderCompressorControlError).
        Permit(EncodeGate& gate, const EngineControl& control) : gate_(gate) {
            gate_.enter(control);
        }
        Permit(const Permit&) = delete;
        Permit& operator=(const Permit&) = delete;
        ~Permit() { gate_.leave(); }

    private:
        EncodeGate& gate_;
    };

    static EncodeGate& inProcessEncodes();

private:
    void enter(const EngineControl& control);
    void leave();

    std::mutex mutex_;
    std::condition_variable left_;
    bool held_ = false;
};

} // namespace velk
