// The person's and the first run's records of files the engine leaves as they are.
#include "engine/FolderCompressor.h"

#include <cassert>

#include "core/NativeLog.h"
#include "core/Paths.h"

namespace velk {

namespace fs = std::filesystem;

void FolderCompressor::leaveAlone(std::vector<fs::path> files, LeftAloneReason reason,
                                  const AppConfig& config) {
    if (reason == LeftAloneReason::ignored) {
        std::scoped_lock lock(ignoredMutex_);
        for (const fs::path& file : files)
            ignored_.insert(pathKey(standardized(file)));
    }
    queue_.submit([this, files = std::move(files), reason, key = runSettings(config, 0, 0).key] {
        recorder_.reserveForFolder(files.size());
        std::size_t recorded = 0;
        for (const fs::path& file : files) {
            if (recorder_.leaveAlone(file, reason, key, ProcessedFileRegistry::Save::later))
                ++recorded;
        }
        recorder_.saveNow();
        NativeLog::write("Files left alone reason=" + std::string(rawValue(reason)) +
                         " count=" + std::to_string(recorded));
    });
}

void FolderCompressor::stopLeavingAlone(const fs::path& file) {
    {
        std::scoped_lock lock(ignoredMutex_);
        ignored_.erase(pathKey(standardized(file)));
    }
    queue_.submit([this, file] {
        recorder_.forget(file);
        detector_.decideAfresh(file);
    });
}

std::vector<fs::path> FolderCompressor::ignoredFiles() const {
    std::scoped_lock lock(ignoredMutex_);
    std::vector<fs::path> files;
    for (const std::string& key : ignored_)
        files.push_back(pathFromKey(key));
    return files;
}

void FolderCompressor::restoreOriginal(const fs::path& file, const AppConfig& config,
                                       std::function<void(const RestoreResult&)> done) {
    queue_.submit([this, file, language = config.language, key = runSettings(config, 0, 0).key,
                   done = std::move(done)] {
        const RestoreResult result = velk::restoreOriginal(fs_, file, language);
        if (result.ok) {
            const fs::path resultFile = standardized(file);
            if (result.restored != resultFile) {
                recorder_.forget(resultFile);
                detector_.decideAfresh(resultFile);
            }
            detector_.decideAfresh(result.restored);
            recorder_.leaveAlone(result.restored, LeftAloneReason::restored, key);
        }
        NativeLog::write("Restore original " + displayName(file) +
                         " ok=" + (result.ok ? "true" : "false"));
        done(result);
    });
}

RestoreResult FolderCompressor::restoreOriginal(const fs::path& file, const AppConfig& config) {
    assert(!queue_.isCurrent());
    RestoreResult result;
    restoreOriginal(file, config, [&result](const RestoreResult& answer) { result = answer; });
    queue_.waitUntilIdle();
    return result;
}

} // namespace velk
