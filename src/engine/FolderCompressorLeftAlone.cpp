// The person's and the first run's records of files the engine leaves as they are.
#include "engine/FolderCompressor.h"

#include <cassert>

#include "core/NativeLog.h"
#include "core/Paths.h"

namespace velk {

namespace fs = std::filesystem;

void FolderCompressor::leaveAlone(const std::vector<fs::path>& files, LeftAloneReason reason,
                                  const AppConfig& config) {
    // The tasks below borrow the caller's arguments: waiting on the queue from the queue
    // would return before they ran.
    assert(!queue_.isCurrent());
    const std::string key = runSettings(config, 0, 0).key;
    queue_.submit([this, &files, reason, &key] {
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
    queue_.waitUntilIdle();
}

void FolderCompressor::stopLeavingAlone(const fs::path& file) {
    assert(!queue_.isCurrent());
    queue_.submit([this, &file] {
        recorder_.forget(file);
        detector_.decideAfresh(file);
    });
    queue_.waitUntilIdle();
}

std::vector<fs::path> FolderCompressor::filesLeftAlone(LeftAloneReason reason) {
    assert(!queue_.isCurrent());
    std::vector<fs::path> files;
    queue_.submit([this, &files, reason] {
        for (const auto& [key, record] : recorder_.registry().entries()) {
            if (record.leftAlone == reason)
                files.push_back(pathFromKey(key));
        }
    });
    queue_.waitUntilIdle();
    return files;
}

} // namespace velk
