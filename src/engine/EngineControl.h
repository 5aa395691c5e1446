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
///
/// A control made with a parent serves one file among several in flight: it has its own
/// tool time limit, sees the parent's cancellation, and registers its tools with the
/// parent too, so the parent's requestStop() returns them. The parent must outlive it.
class EngineControl {
public:
    EngineControl() = default;
    explicit EngineControl(EngineControl& parent)
        : parent_(&parent), cancellationRequested_(false) {}
    EngineControl(const EngineControl&) = delete;
    EngineControl& operator=(const EngineControl&) = delete;

    bool cancellationRequested() const {
        {
            std::scoped_lock lock(mutex_);
            if (cancellationRequested_)
                return true;
        }
        return parent_ && parent_->cancellationRequested();
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
        bool cancelled = false;
        {
            std::scoped_lock lock(mutex_);
            activeProcesses_.push_back(process);
            cancelled = cancellationRequested_;
        }
        if (parent_ && parent_->addActiveProcess(std::move(process)))
            cancelled = true;
        return cancelled;
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
        {
            std::scoped_lock lock(mutex_);
            std::erase_if(activeProcesses_,
                          [process](const auto& p) { return p.get() == process; });
        }
        if (parent_)
            parent_->removeActiveProcess(process);
    }

private:
    EngineControl* const parent_ = nullptr;
    mutable std::mutex mutex_;
    bool cancellationRequested_ = true;
    bool running_ = false;
    std::vector<std::shared_ptr<ChildProcess>> activeProcesses_;
    double toolTimeLimit_ = velk::toolTimeLimitBase;
};

} // namespace velk
