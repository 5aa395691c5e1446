#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "model/CompressionHistoryEntry.h"

namespace velk {

/// The newest rows of the history, newest first, as kept in "compression-history.json".
class CompressionHistory {
public:
    static constexpr std::size_t capacity = 500;

    CompressionHistory() = default;
    /// Keeps the first `capacity` rows.
    explicit CompressionHistory(std::vector<CompressionHistoryEntry> entries);

    const std::vector<CompressionHistoryEntry>& entries() const { return entries_; }

    /// Puts the row first and drops the oldest beyond `capacity`.
    void record(CompressionHistoryEntry entry);
    void clear() { entries_.clear(); }

    /// Throws RecordDecodeError when the text or any one row is invalid: a history is
    /// trusted as a whole or not at all.
    static CompressionHistory decode(std::string_view bytes);
    /// Compact JSON array; never throws.
    std::string encode() const;

    /// The history in `file`; empty when it is missing, unreadable or invalid, and the
    /// bad file is left in place for the next save to replace.
    static CompressionHistory load(const std::filesystem::path& file);
    /// Creates the folder and replaces `file` atomically. On failure logs
    /// "History save failed <reason>" and returns false; the rows in memory stay as they are.
    bool save(const std::filesystem::path& file) const;

    bool operator==(const CompressionHistory&) const = default;

private:
    std::vector<CompressionHistoryEntry> entries_;
};

} // namespace velk
