#include "model/CompressionHistoryEntry.h"

#include <nlohmann/json.hpp>

#include "core/Paths.h"
#include "core/Text.h"
#include "model/JsonFields.h"
#include "model/RawValueTable.h"
#include "model/RecordDecodeError.h"

namespace velk {

namespace {
struct StatusRow {
    CompressionHistoryStatus value;
    std::string_view raw;
};

constexpr std::array<StatusRow, 3> statusTable = {{
    {CompressionHistoryStatus::compressed, "compressed"},
    {CompressionHistoryStatus::alreadyOptimal, "alreadyOptimal"},
    {CompressionHistoryStatus::failed, "failed"},
}};

[[noreturn]] void badValue(std::string_view key, std::string_view why) {
    throw RecordDecodeError(RecordDecodeError::Kind::badValue,
                            std::string(key) + ": " + std::string(why));
}
} // namespace

std::string_view rawValue(CompressionHistoryStatus status) {
    return rowFor(statusTable, status).raw;
}

std::optional<CompressionHistoryStatus> compressionHistoryStatusFromRaw(std::string_view raw) {
    return valueForRaw(statusTable, raw);
}

std::optional<std::int64_t> CompressionHistoryEntry::savedBytes() const {
    if (!originalBytes || !outputBytes)
        return std::nullopt;
    // Saturate rather than overflow on absurd stored sizes.
    if (*outputBytes >= *originalBytes)
        return 0;
    if (*outputBytes < 0 && *originalBytes > INT64_MAX + *outputBytes)
        return INT64_MAX;
    return *originalBytes - *outputBytes;
}

CompressionHistoryEntry decodeCompressionHistoryEntry(const nlohmann::json& object) {
    recordjson::requireObject(object, "history entry");
    CompressionHistoryEntry entry;

    const std::string id = recordjson::requiredString(object, "id");
    const auto uuid = Uuid::parse(id);
    if (!uuid)
        badValue("id", "not a UUID");
    entry.id = *uuid;

    const auto date = parseISO8601(recordjson::requiredString(object, "date"));
    if (!date)
        badValue("date", "not an ISO 8601 date without fractional seconds");
    entry.date = *date;

    const auto source = recordjson::fileURL(object, "sourceURL");
    if (!source) {
        throw RecordDecodeError(RecordDecodeError::Kind::missingKey, "sourceURL: missing");
    }
    entry.sourceURL = *source;
    entry.outputURL = recordjson::fileURL(object, "outputURL");
    entry.originalBytes = recordjson::int64(object, "originalBytes");
    entry.outputBytes = recordjson::int64(object, "outputBytes");

    const std::string status = recordjson::requiredString(object, "status");
    const auto parsed = compressionHistoryStatusFromRaw(status);
    if (!parsed)
        badValue("status", "unknown value \"" + status + "\"");
    entry.status = *parsed;

    entry.message = recordjson::string(object, "message");
    return entry;
}

nlohmann::json encodeCompressionHistoryEntry(const CompressionHistoryEntry& entry) {
    nlohmann::json object = nlohmann::json::object();
    object["id"] = entry.id.toString();
    object["date"] = iso8601(entry.date);
    object["sourceURL"] = fileURL(entry.sourceURL);
    if (entry.outputURL)
        object["outputURL"] = fileURL(*entry.outputURL);
    if (entry.originalBytes)
        object["originalBytes"] = *entry.originalBytes;
    if (entry.outputBytes)
        object["outputBytes"] = *entry.outputBytes;
    object["status"] = rawValue(entry.status);
    // An error text often quotes a file name, and Linux names need not be UTF-8.
    if (entry.message)
        object["message"] = validUtf8Text(*entry.message);
    return object;
}

} // namespace velk
