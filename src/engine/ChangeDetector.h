#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/DateTime.h"
#include "engine/FileSignature.h"
#include "engine/ProcessedFileRegistry.h"
#include "notify/CompressionNotificationEvent.h"
#include "platform/FileSystem.h"

namespace velk {

/// A file seen but not yet stable. Timed on a monotonic clock: a step of the wall clock
/// must neither hold a file back nor let a half-written one through.
struct PendingFile {
    FileSignature signature;
    std::chrono::steady_clock::time_point firstSeenAt;
};

/// An output the engine wrote itself.
struct OwnWrite {
    std::int64_t size = 0;
    std::optional<ContentFingerprint> fingerprint;
    Date date;
};

/// A file the engine wrote or replaced.
struct RecentWrite {
    Date date;
    FileSignature signature;
};

/// Decides, for each candidate of a scan, whether it must be processed now: not while
/// it is still being written, not when it is the engine's own output, not when its
/// current state was already handled (in this run, or in an earlier one through the
/// registry). Owns the engine's in-memory maps; used only on the engine's queue.
class ChangeDetector {
public:
    /// What the decision needs from the engine.
    class Delegate {
    public:
        virtual ~Delegate() = default;
        /// Removes the stale outputs of a handled source and returns the files removed.
        virtual std::vector<std::filesystem::path>
        removeStaleOutputs(const std::filesystem::path& source) = 0;
        virtual bool registryCanSkip(const std::filesystem::path& source) = 0;
        /// True when the file is an unchanged output of ours made with the current
        /// settings (recorded as handled by the delegate).
        virtual bool recogniseMarkedOutput(const std::filesystem::path& file) = 0;
        virtual std::string settingsKey() const = 0;
        virtual void report(const CompressionNotificationEvent& event) = 0;
        /// Remembers, across runs, that the file in its current form was announced as
        /// unsupported.
        virtual void recordUnsupported(const std::filesystem::path& file) = 0;
    };

    using MonotonicClock = std::function<std::chrono::steady_clock::time_point()>;

    /// `monotonicClock` times the stability wait; steady_clock when empty.
    ChangeDetector(const FileSystem& fs, const ProcessedFileRegistry& registry, Delegate& delegate,
                   std::function<Date()> clock, MonotonicClock monotonicClock = {});

    /// True: do not process now.
    bool shouldSkip(const std::filesystem::path& file);
    /// Reports a file of an unsupported kind once per contents, across runs.
    void reportUnsupportedIfNeeded(const std::filesystem::path& file);

    /// The folder's modification time for this scan: while it stays the same, no file
    /// can have appeared or vanished in it, so handled files need no stale-output sweep.
    void beginScan(std::optional<Date> folderModified) { folderModified_ = folderModified; }
    /// Forgets pending files that are no longer regular files in the folder, so that a
    /// file removed during its stability wait does not keep the folder from settling.
    void dropVanishedPending();

    /// Drops what is remembered about files missing from `listing` (the folder's whole
    /// listing in this scan), so a folder whose files come and go does not grow the maps
    /// for ever. Cheap when the folder is unchanged since the last call.
    void forgetVanished(const std::vector<DirectoryEntry>& listing);

    void forget(const std::filesystem::path& file);
    void forgetHandled(const std::filesystem::path& file);
    /// Forgets everything about the file, as if it had never been seen.
    void decideAfresh(const std::filesystem::path& file);
    void rememberHandled(const std::filesystem::path& file, const FileSignature& signature);
    void rememberRecentWrite(const std::filesystem::path& file, const FileSignature& signature);
    void rememberOwnWrite(const std::filesystem::path& file, OwnWrite write);
    /// A file whose processing failed, or that was empty, is not looked at again until it
    /// changes (or the engine starts again): retrying a broken file every scan would flood
    /// the history with the same failure and keep the machine busy for nothing.
    void rememberDealtWith(const std::filesystem::path& file, const FileSignature& signature);
    void clear();

    std::size_t pendingCount() const { return pending_.size(); }
    /// How long until the first waiting file has been quiet for its stability interval
    /// (zero when that is already so); none when no file waits.
    std::optional<double> secondsUntilFirstStable() const;
    /// Entries held about handled, failed, unsupported and own files.
    std::size_t rememberedCount() const;

private:
    using Key = std::string;
    static Key keyFor(const std::filesystem::path& file);
    void sweepStaleOutputs(const Key& key, const std::filesystem::path& file);

    const FileSystem& fs_;
    const ProcessedFileRegistry& registry_;
    Delegate& delegate_;
    std::function<Date()> clock_;
    MonotonicClock monotonicClock_;
    std::optional<Date> folderModified_;

    std::unordered_map<Key, RecentWrite> recentWrites_;
    std::unordered_map<Key, OwnWrite> ownWrites_;
    std::unordered_map<Key, FileSignature> processedSignatures_;
    std::unordered_map<Key, FileSignature> unsupportedSignatures_;
    std::unordered_map<Key, FileSignature> dealtWithSignatures_;
    std::unordered_map<Key, PendingFile> pending_;
    std::unordered_map<Key, Date> sweptAtFolderModified_;
    std::optional<Date> vanishedCheckedAtFolderModified_;
};

} // namespace velk
