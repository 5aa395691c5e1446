#include "engine/JobRunner.h"

#include <algorithm>
#include <cassert>
#include <deque>
#include <future>
#include <string>

#include "core/Text.h"
#include "engine/FolderCompressorControlError.h"

namespace velk {

namespace fs = std::filesystem;

struct JobRunner::Slot {
    Slot(fs::path source, std::unique_ptr<Job> work)
        : file(std::move(source)), job(std::move(work)) {}

    const fs::path file;
    const std::unique_ptr<Job> job;
    // Under the runner's lock: a worker writes them as its stage ends.
    Stage stage = Stage::planning;
    std::exception_ptr error;
    /// Last, so that it is joined before the job it works on goes away.
    std::future<void> worker;
};

JobRunner::JobRunner(int width, const EngineControl& control)
    : width_(static_cast<std::size_t>(std::clamp(width, 1, 4))), control_(control) {}

void JobRunner::startStage(Slot& slot, void (Job::*stage)(), Stage next) {
    slot.worker = std::async(std::launch::async, [this, &slot, stage, next] {
        std::exception_ptr error;
        try {
            (slot.job.get()->*stage)();
        } catch (...) {
            error = std::current_exception();
        }
        std::scoped_lock lock(mutex_);
        slot.error = error;
        slot.stage = error ? Stage::ended : next;
        ++changes_;
        changed_.notify_all();
    });
}

JobRunner::Stage JobRunner::stageOf(const Slot& slot) {
    std::scoped_lock lock(mutex_);
    return slot.stage;
}

void JobRunner::end(Slot& slot, std::exception_ptr error) {
    std::scoped_lock lock(mutex_);
    slot.error = error;
    slot.stage = Stage::ended;
}

void JobRunner::run(const std::vector<fs::path>& files, const MakeJob& makeJob,
                    const std::function<void(std::size_t)>& inFlight) {
    const auto sharesStem = [](const std::deque<std::unique_ptr<Slot>>& slots,
                               const fs::path& file) {
        const std::string stem = asciiLowercase(file.stem().native());
        return std::any_of(slots.begin(), slots.end(), [&stem](const auto& slot) {
            return asciiLowercase(slot->file.stem().native()) == stem;
        });
    };
    std::deque<std::unique_ptr<Slot>> slots;
    // A file whose encode has ended waits for the files before it to finish; it holds no
    // raster, so it does not take a worker's place: a small file behind a slow one would
    // otherwise leave a core idle. The wait is bounded all the same, and a width of one
    // means one file at a time, start to end.
    const auto working = [&] {
        return static_cast<std::size_t>(
            std::count_if(slots.begin(), slots.end(), [&](const auto& slot) {
                const Stage stage = stageOf(*slot);
                return stage != Stage::encoded && stage != Stage::ended;
            }));
    };
    const std::size_t waitingRoom = width_ == 1 ? 1 : 4 * width_;
    std::size_t next = 0;
    std::uint64_t seenChanges = 0;
    for (;;) {
        // Taken before anything is looked at: a stage that ends while the runner looks
        // (say, an encode ending right after the check for a free worker) must wake it.
        {
            std::scoped_lock lock(mutex_);
            seenChanges = changes_;
        }
        const bool cancelled = control_.cancellationRequested();
        while (!cancelled && next < files.size() && slots.size() < waitingRoom &&
               working() < width_ && !sharesStem(slots, files[next])) {
            const fs::path& file = files[next++];
            slots.push_back(std::make_unique<Slot>(file, makeJob(file)));
            startStage(*slots.back(), &Job::plan, Stage::planned);
        }
        inFlight(slots.size());
        if (slots.empty())
            break;
        bool earlierDecided = true;
        for (auto& slot : slots) {
            const Stage stage = stageOf(*slot);
            if (stage == Stage::planned && earlierDecided) {
                slot->worker.get();
                if (cancelled) {
                    end(*slot, std::make_exception_ptr(FolderCompressorControlError(
                                   FolderCompressorControlError::Kind::cancelled)));
                    continue;
                }
                bool needsEncode = false;
                try {
                    needsEncode = slot->job->decide();
                } catch (...) {
                    end(*slot, std::current_exception());
                    continue;
                }
                if (!needsEncode) {
                    end(*slot, nullptr);
                } else {
                    {
                        std::scoped_lock lock(mutex_);
                        slot->stage = Stage::encoding;
                    }
                    startStage(*slot, &Job::encode, Stage::encoded);
                }
            } else if (stage == Stage::planning || stage == Stage::planned) {
                earlierDecided = false;
            }
        }
        bool finishedAny = false;
        while (!slots.empty() && (stageOf(*slots.front()) == Stage::encoded ||
                                  stageOf(*slots.front()) == Stage::ended)) {
            std::unique_ptr<Slot> slot = std::move(slots.front());
            slots.pop_front();
            if (slot->worker.valid())
                slot->worker.get();
            // No worker touches the slot any more: its error is read without the lock.
            slot->job->finish(slot->error);
            finishedAny = true;
        }
        if (finishedAny)
            continue;
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return changes_ != seenChanges; });
    }
}

} // namespace velk
