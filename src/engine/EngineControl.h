#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "core/Constants.h"
#include "engine/FolderCompressorControlError.h"

namespace velk {

class ChildProcess;

/// The few flags another thread touches while the engine works: the cancellation
/// request, the running flag and the outside tools in progress (with the time each may
/// take). Several tools may run at once (candidates encoded side by side). The lock is
/// held only for the read or write, never across a call out.
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

    /// Marks a stop: cancellation on, running off; returns the tools to terminate.
    std::vector<std::shared_ptr<ChildProcess>> requestStop() {
        std::scoped_lock lock(mutex_);
        cancellationRequested_ = true;
        running_ = false;
        return activeProcesses_;
    }
    /// Adds the tool just launched; returns whether cancellation was requested meanwhile.
    bool addActiveProcess(std::shared_ptr<ChildProcess> process) {
        std::scoped_lock lock(mutex_);
        activeProcesses_.push_back(std::move(process));
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
    /// Forgets `process` once it has ended.
    void removeActiveProcess(const ChildProcess* process) {
        std::scoped_lock lock(mutex_);
        std::erase_if(activeProcesses_, [process](const auto& p) { return p.get() == process; });
    }

private:
    mutable std::mutex mutex_;
    bool cancellationRequested_ = true;
    bool running_ = false;
    std::vector<std::shared_ptr<ChildProcess>> activeProcesses_;
    double toolTimeLimit_ = velk::toolTimeLimitBase;
};

} // namespace velk
