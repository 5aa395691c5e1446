#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/DateTime.h"
#include "engine/FileSignature.h"
#include "platform/FileSystem.h"

namespace velk {

enum class ProcessedDecision { compressed, alreadyOptimal, existingOutputFresh };

std::string_view rawValue(ProcessedDecision decision);
std::optional<ProcessedDecision> processedDecisionFromRaw(std::string_view raw);

/// Why a file is left as it is under any settings. Each lets the file be skipped while its
/// contents stay the same (an ignored file whatever its contents): re-deciding it after a
/// settings change could only repeat a failure, or undo what the person chose.
enum class LeftAloneReason {
    /// Its processing failed; tried again once it changes or the program is updated.
    failed,
    /// Not a kind the engine can compress; announced once per contents.
    unsupported,
    /// Its original was put back at the person's request.
    restored,
    /// It was in the folder when it was chosen, and the person asked for new images only.
    existing,
    /// The person asked the engine never to touch it.
    ignored,
    /// Our own lossy result whose original is no longer kept: encoding it again, whatever
    /// the settings, could only lose more.
    withoutOriginal,
};

std::string_view rawValue(LeftAloneReason reason);
std::optional<LeftAloneReason> leftAloneReasonFromRaw(std::string_view raw);

struct ProcessedFileRecord {
    ContentFingerprint fingerprint;
    ProcessedDecision decision = ProcessedDecision::compressed;
    Date updatedAt;
    std::optional<std::string> resourceIdentifier;
    std::optional<std::string> settingsKey;
    /// Set on records of files left alone. Such a record is stored with the decision
    /// "alreadyOptimal" and its settings key, which is how the version before this one reads
    /// it: it skips the file until the settings change.
    std::optional<LeftAloneReason> leftAlone;
    /// The program version that recorded a failure.
    std::optional<std::string> programVersion;

    bool operator==(const ProcessedFileRecord&) const = default;
};

/// The nine-part key of the settings a file was processed with; a record made under any
/// other key no longer lets its file be skipped.
std::string processingSettingsKey(std::string_view presetRaw, std::string_view formatRaw,
                                  std::string_view originalRaw, int jpegQuality, int pngQuality,
                                  int webpQuality, int avifQuality, int heicQuality);

/// The engine's memory, across restarts, of the files it has handled: one record per
/// standardized path, kept in one JSON file. Used only on the engine's queue.
class ProcessedFileRegistry {
public:
    static constexpr std::size_t maximumEntries = 2'000;
    static constexpr std::int64_t initialVersion = 1;

    /// "processed-files.json" in the application support folder.
    static std::filesystem::path defaultFile();

    /// Loads `file`; anything unreadable or invalid gives an empty registry of version 1,
    /// silently (the next save overwrites the bad file).
    ProcessedFileRegistry(FileSystem& fs, std::filesystem::path file);

    std::int64_t version() const { return version_; }
    /// Keyed by pathKey of the standardized path.
    const std::map<std::string, ProcessedFileRecord>& entries() const { return entries_; }

    std::optional<ProcessedFileRecord> record(const std::filesystem::path& file) const;
    /// Stores `record` under `file`, replacing any earlier one. Does not save.
    void store(const std::filesystem::path& file, ProcessedFileRecord record);

    enum class Save { now, later };
    /// Records `decision` for the file as it is now, then prunes and, unless told to leave
    /// it for a later saveIfChanged(), saves. Returns false, changing nothing, when the
    /// file cannot be fingerprinted (missing, empty, unreadable).
    bool remember(const std::filesystem::path& file, ProcessedDecision decision,
                  std::string settingsKey, Date now, Save save = Save::now);

    /// Records that the file, as it is now, is left alone for `reason` (see LeftAloneReason),
    /// then prunes and saves as remember() does. Returns false when the file cannot be
    /// fingerprinted.
    bool leaveAlone(const std::filesystem::path& file, LeftAloneReason reason,
                    std::string settingsKey, Date now, Save save = Save::now);
    /// Why the file is left alone in its current form (`fingerprint`, `resourceIdentifier`),
    /// if it is: a failure only until the program's version changes, an ignored file
    /// whatever its contents.
    std::optional<LeftAloneReason>
    leftAloneReason(const std::filesystem::path& file, const ContentFingerprint& fingerprint,
                    const std::optional<std::string>& resourceIdentifier) const;
    /// Drops the file's record (a file no longer ignored is decided afresh). Does not save.
    void forget(const std::filesystem::path& file);

    /// The record-based half of the skip test: a record exists with this fingerprint, the
    /// same file number (both none or both equal) and exactly this settings key. The
    /// policy-dependent half is the engine's.
    bool matches(const std::filesystem::path& file, const ContentFingerprint& fingerprint,
                 const std::optional<std::string>& resourceIdentifier,
                 std::string_view settingsKey) const;

    /// Room for a folder of `entries` entries: a record for each of them and each of their
    /// outputs, with some to spare, and never less than `maximumEntries`. A registry
    /// smaller than the folder forgets files it handled and decides them again on every
    /// start.
    void reserveForFolder(std::size_t entries);
    std::size_t capacity() const { return capacity_; }
    /// Keeps the `capacity()` most recently updated records; an ignored file's record is
    /// the person's choice and is never dropped.
    void pruneIfNeeded();
    /// Writes the file atomically; a failure is logged, never thrown.
    void save();
    /// Saves when something was remembered since the last successful save.
    void saveIfChanged();
    bool hasUnsavedChanges() const { return unsaved_; }

    /// The file's text: sorted keys, no spaces, "/" written as "\/".
    std::string encoded() const;

private:
    bool decode(std::string_view text);
    bool rememberAs(const std::filesystem::path& file, ProcessedDecision decision,
                    std::optional<LeftAloneReason> leftAlone, std::string settingsKey, Date now,
                    Save save);

    FileSystem& fs_;
    std::filesystem::path file_;
    std::int64_t version_ = initialVersion;
    std::map<std::string, ProcessedFileRecord> entries_;
    std::size_t capacity_ = maximumEntries;
    bool unsaved_ = false;
};

} // namespace velk
