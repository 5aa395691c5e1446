#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/DecisionRecorder.h"
#include "engine/EngineControl.h"
#include "model/AppConfig.h"
#include "platform/FileSystem.h"
#include "platform/ImageCodec.h"

namespace velk {

/// Puts right, at start, what an engine killed in the middle of a file left in the
/// folder: a source set aside during a swap goes back (or, when its result was already
/// installed after a verified backup, the job is finished instead), and temporary files,
/// scratch folders and unverified backups go away. Runs on the engine's queue before the
/// first scan; holds no state between runs.
class InterruptedWorkRecovery {
public:
    InterruptedWorkRecovery(FileSystem& fs, const ImageCodec& codec, const EngineControl& control,
                            DecisionRecorder& recorder);

    /// `strategy` and `settingsKey` are the run's: a finished conversion is recognised by
    /// the format this run would convert to, and recorded under this run's settings.
    void recover(const std::filesystem::path& folder, FormatStrategy strategy,
                 const std::string& settingsKey);

private:
    /// Every regular file in the backup folder's day folders; unreadable folders count as
    /// empty.
    std::vector<DirectoryEntry> backupCopies(const std::filesystem::path& folder);
    void removeUnverifiedBackups(const std::filesystem::path& folder);
    /// The converted result of a replace that was killed after installing it, when the
    /// set-aside source has a verified backup; none otherwise.
    std::optional<std::filesystem::path> finishedConversion(const std::filesystem::path& folder,
                                                            const std::filesystem::path& aside,
                                                            const std::string& originalName,
                                                            FormatStrategy strategy);
    /// Whether `aside` is our result made from the original that `target` now holds, or
    /// whose result it holds.
    bool supersededResult(const std::filesystem::path& aside, const std::filesystem::path& target);
    bool hasIdenticalBackup(const std::filesystem::path& folder, const std::filesystem::path& file,
                            const std::string& originalName);

    FileSystem& fs_;
    const ImageCodec& codec_;
    const EngineControl& control_;
    DecisionRecorder& recorder_;
};

} // namespace velk
