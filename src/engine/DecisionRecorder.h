#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>

#include "core/DateTime.h"
#include "engine/EngineControl.h"
#include "engine/ProcessedFileRegistry.h"
#include "platform/FileSystem.h"
#include "platform/SerialQueue.h"

namespace velk {

/// The only writer of the registry of processed files. Rewriting the whole registry for
/// every decision made a backlog of small files spend its time on the registry, so
/// decisions are written at most once per interval and at stop. What a crash in between
/// loses is harmless: an output carries its mark and is recognised without its record; a
/// source whose fresh output exists is decided again without an encode; an already
/// optimal one is encoded once more to the same answer.
class DecisionRecorder {
public:
    /// `queue` runs the batched saves and every record(); it may be built after the
    /// recorder but must outlive its use. `saveInterval` zero saves each decision at once.
    DecisionRecorder(FileSystem& fs, std::filesystem::path registryFile, SerialQueue& queue,
                     const EngineControl& control, double saveInterval,
                     std::function<Date()> clock);

    /// What the rest of the engine reads; never written but through the recorder.
    const ProcessedFileRegistry& registry() const { return registry_; }

    /// On the queue: records `decision` for the file as it is now.
    void record(const std::filesystem::path& file, ProcessedDecision decision,
                const std::string& settingsKey);
    /// On the queue: records that the file, as it is now, is left alone for `reason`.
    /// Saved at once unless told otherwise: a failure forgotten by a crash would be
    /// announced again. False when the file cannot be fingerprinted.
    bool leaveAlone(const std::filesystem::path& file, LeftAloneReason reason,
                    const std::string& settingsKey,
                    ProcessedFileRegistry::Save save = ProcessedFileRegistry::Save::now);
    /// On the queue: forgets the file's record, so it is decided afresh.
    void forget(const std::filesystem::path& file);
    /// On the queue: room for a folder of `entries` entries.
    void reserveForFolder(std::size_t entries);

    /// From stop(), once the cancellation is requested: no batched save runs after it.
    void cancelScheduledSave();
    /// On the queue, or with the queue idle: writes whatever is not saved yet.
    void saveNow();

private:
    void saveSoon();

    ProcessedFileRegistry registry_;
    SerialQueue& queue_;
    const EngineControl& control_;
    const double saveInterval_;
    std::function<Date()> clock_;
    std::mutex saveMutex_;
    TaskHandle scheduledSave_;
    bool saveScheduled_ = false; // on the queue
};

} // namespace velk
