#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/EngineControl.h"

namespace velk {

/// Runs a batch of files through their stages, several at once, with results that do not
/// depend on how many: plan and encode run on a worker thread each, decide and finish on
/// the caller's thread in the batch's order (a file decides once every file before it
/// has, and finishes after them). Sources of one stem are never in flight together: they
/// share output names, and each must see the other's work as it would one after the
/// other.
class JobRunner {
public:
    /// One file's work. The runner hands each stage the job alone; what a stage on a
    /// worker reads must be in the job or be safe to read from any thread.
    class Job {
    public:
        virtual ~Job() = default;
        /// On a worker.
        virtual void plan() = 0;
        /// On the caller's thread; false when the file needs no encode.
        virtual bool decide() = 0;
        /// On a worker.
        virtual void encode() = 0;
        /// On the caller's thread, once, last: `error` is what ended the file early (a
        /// stage's exception, or the cancellation before it decided), else null.
        virtual void finish(std::exception_ptr error) = 0;
    };
    using MakeJob = std::function<std::unique_ptr<Job>(const std::filesystem::path& file)>;

    /// `width`: files planned or encoded at once, 1 to 4. No file starts once `control`
    /// is cancelled, and planned files end without deciding.
    JobRunner(int width, const EngineControl& control);

    /// Returns once every file taken has finished; `inFlight` hears how many files are
    /// taken and not finished each time the runner looks again.
    void run(const std::vector<std::filesystem::path>& files, const MakeJob& makeJob,
             const std::function<void(std::size_t inFlight)>& inFlight);

private:
    enum class Stage { planning, planned, encoding, encoded, ended };
    struct Slot;
    void startStage(Slot& slot, void (Job::*stage)(), Stage next);
    Stage stageOf(const Slot& slot);
    void end(Slot& slot, std::exception_ptr error);

    const std::size_t width_;
    const EngineControl& control_;
    /// Workers report each stage's end here.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t changes_ = 0;
};

} // namespace velk
