#pragma once

#include <memory>
#include <mutex>

#include "core/Constants.h"
#include "engine/FolderCompressorControlError.h"

namespace velk {

class ChildProcess;

/// The few flags another thread touches while the engine works: the cancellation
/// request, the running flag and the outside tool in progress (with the time it may
/// take). The lock is held only
/// for the read or write, never across a call out.
class EngineControl {
public:
    bool cancellationRequested() const {
        std::scoped_lock lock(mutex_);
        return cancellationRequested_;
    }
    /// Throws `cancelled` when a stop was requested.
    void checkpoint() const {
        if (cancellationRequested()) {
            throw FolderCompressorControlError(FolderCompressorControlError::Kind::cancelled);
        }
    }
    void setCancellationRequested(bool value) {
        std::scoped_lock lock(mutex_);
        cancellationRequested_ = value;
    }
    bool running() const {
        std::scoped_lock lock(mutex_);
        return running_;
    }
    void setRunning(bool value) {
        std::scoped_lock lock(mutex_);
        running_ = value;
    }

    /// Marks a stop: cancellation on, running off; returns the tool to terminate, if any.
    std::shared_ptr<ChildProcess> requestStop() {
        std::scoped_lock lock(mutex_);
        cancellationRequested_ = true;
        running_ = false;
        return activeProcess_;
    }
    /// Stores the tool just launched; returns whether cancellation was requested meanwhile.
    bool setActiveProcess(std::shared_ptr<ChildProcess> process) {
        std::scoped_lock lock(mutex_);
        activeProcess_ = std::move(process);
        return cancellationRequested_;
    }
    /// How long one outside tool may run, in seconds, for the file in progress.
    double toolTimeLimit() const {
        std::scoped_lock lock(mutex_);
        return toolTimeLimit_;
    }
    void setToolTimeLimit(double seconds) {
        std::scoped_lock lock(mutex_);
        toolTimeLimit_ = seconds;
    }
    /// Clears the active tool only if it is still `process`.
    void clearActiveProcess(const ChildProcess* process) {
        std::scoped_lock lock(mutex_);
        if (activeProcess_.get() == process) activeProcess_.reset();
    }

private:
    mutable std::mutex mutex_;
    bool cancellationRequested_ = true;
    bool running_ = false;
    std::shared_ptr<ChildProcess> activeProcess_;
    double toolTimeLimit_ = velk::toolTimeLimitBase;
};

} // namespace velk
