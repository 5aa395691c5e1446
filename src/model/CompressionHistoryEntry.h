#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "core/DateTime.h"
#include "core/Uuid.h"

namespace velk {

enum class CompressionHistoryStatus { compressed, alreadyOptimal, failed };

inline constexpr std::array<CompressionHistoryStatus, 3> allCompressionHistoryStatuses = {
    CompressionHistoryStatus::compressed, CompressionHistoryStatus::alreadyOptimal,
    CompressionHistoryStatus::failed};

std::string_view rawValue(CompressionHistoryStatus status);
/// Exact raw value only.
std::optional<CompressionHistoryStatus> compressionHistoryStatusFromRaw(std::string_view raw);

/// One processed file, whatever the outcome.
struct CompressionHistoryEntry {
    Uuid id = Uuid::random();
    Date date = std::chrono::system_clock::now();
    std::filesystem::path sourceURL;
    /// The file written, when one was.
    std::optional<std::filesystem::path> outputURL;
    std::optional<std::int64_t> originalBytes;
    std::optional<std::int64_t> outputBytes;
    CompressionHistoryStatus status = CompressionHistoryStatus::compressed;
    /// The error text of a failed row; may hold any bytes a file name holds.
    std::optional<std::string> message;

    /// None unless both sizes are known; an output that grew saved 0, not a negative.
    std::optional<std::int64_t> savedBytes() const;

    bool operator==(const CompressionHistoryEntry&) const = default;
};

/// Throws RecordDecodeError for a missing required key, a wrong type, an unknown status,
/// a malformed id or a date with fractional seconds.
CompressionHistoryEntry decodeCompressionHistoryEntry(const nlohmann::json& object);
/// Dates lose their fractional seconds; the message is made valid UTF-8.
nlohmann::json encodeCompressionHistoryEntry(const CompressionHistoryEntry& entry);

} // namespace velk
