#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "model/CompressionStats.h"
#include "model/ImageFormat.h"
#include "platform/SerialQueue.h"

namespace velk {

/// The run's statistics and the progress of the batch under way: whole files done plus an
/// eased share of each encode in flight, by its estimated duration, never moving back
/// within a batch. Called from the engine's queue, from the workers (an encode's start and
/// end) and from its own timer, which keeps the bar moving during a long encode; it is
/// the only holder of the lock on the statistics. Every report goes out through `emit`,
/// outside the lock.
class BatchProgress {
public:
    using Emit = std::function<void(const CompressionStats&)>;

    explicit BatchProgress(Emit emit);
    BatchProgress(const BatchProgress&) = delete;
    BatchProgress& operator=(const BatchProgress&) = delete;

    /// A run starts from nothing.
    void resetRun();
    /// The run has stopped: nothing in flight, no progress shown.
    void endRun();

    void beginBatch(int files);
    /// However the batch ended, the panel stops showing it.
    void endBatch();
    void stopTimer();

    /// Files taken from the batch and not ended yet.
    void setInFlight(int files);
    /// `encode` names one encode under way until encodeEnded(encode); `fileName` is what
    /// the panel shows of it.
    void encodeBegan(const void* encode, ImageFormat target, std::int64_t sourceBytes,
                     std::string fileName);
    void encodeEnded(const void* encode);
    void fileWritten(std::int64_t savedBytes);
    void fileFailed();
    /// One more file of the batch ended, in whatever way; reports the progress.
    void fileEnded();
    void emitProgress();

private:
    struct Batch {
        int total = 0;
        int done = 0;
        int shown = 0;
        /// Encodes under way: when each began and how long it should take.
        std::map<const void*, std::pair<std::chrono::steady_clock::time_point, double>> encoding;
        /// The file of the encode begun last, shown as the one being worked on.
        std::string current;
    };
    /// Ends what is shown of a batch and returns what to report.
    CompressionStats idleSnapshot();

    Emit emit_;
    std::mutex mutex_;
    CompressionStats stats_;
    Batch batch_;
    TaskHandle timer_;
    /// Last: its thread is joined before anything the timer reads goes away.
    SerialQueue timerQueue_{"velk.progress"};
};

} // namespace velk
