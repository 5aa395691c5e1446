#include "engine/DecisionRecorder.h"

#include <cassert>

namespace velk {

namespace fs = std::filesystem;

DecisionRecorder::DecisionRecorder(FileSystem& fs, fs::path registryFile, SerialQueue& queue,
                                   const EngineControl& control, double saveInterval,
                                   std::function<Date()> clock)
    : registry_(fs, std::move(registryFile)), queue_(queue), control_(control),
      saveInterval_(saveInterval), clock_(std::move(clock)) {}

void DecisionRecorder::record(const fs::path& file, ProcessedDecision decision,
                              const std::string& settingsKey) {
    assert(queue_.isCurrent());
    if (saveInterval_ <= 0) {
        registry_.remember(file, decision, settingsKey, clock_());
        return;
    }
    if (registry_.remember(file, decision, settingsKey, clock_(),
                           ProcessedFileRegistry::Save::later)) {
        saveSoon();
    }
}

bool DecisionRecorder::leaveAlone(const fs::path& file, LeftAloneReason reason,
                                  const std::string& settingsKey,
                                  ProcessedFileRegistry::Save save) {
    assert(queue_.isCurrent());
    return registry_.leaveAlone(file, reason, settingsKey, clock_(), save);
}

void DecisionRecorder::forget(const fs::path& file) {
    assert(queue_.isCurrent());
    registry_.forget(file);
    registry_.saveIfChanged();
}

void DecisionRecorder::reserveForFolder(std::size_t entries) {
    assert(queue_.isCurrent());
    registry_.reserveForFolder(entries);
}

void DecisionRecorder::saveSoon() {
    if (saveScheduled_)
        return;
    std::scoped_lock lock(saveMutex_);
    // Checked under the lock cancelScheduledSave takes: a save scheduled after the stop
    // would outlive the run.
    if (control_.cancellationRequested())
        return;
    saveScheduled_ = true;
    scheduledSave_ = queue_.submitAfter(saveInterval_, [this] {
        saveScheduled_ = false;
        registry_.saveIfChanged();
    });
}

void DecisionRecorder::cancelScheduledSave() {
    std::scoped_lock lock(saveMutex_);
    scheduledSave_.cancel();
}

void DecisionRecorder::saveNow() {
    saveScheduled_ = false;
    registry_.saveIfChanged();
}

} // namespace velk
