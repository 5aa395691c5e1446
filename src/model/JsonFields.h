#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// Reading and writing the record files. Every reader treats a missing key and a JSON null
// alike and throws RecordDecodeError for a value of the wrong type, so one rule covers
// every field of every file.

namespace velk::recordjson {

/// Parses the whole text; throws RecordDecodeError(syntax), never a library exception.
nlohmann::json parse(std::string_view text);

/// Compact text. Invalid UTF-8 that slipped into a string is replaced rather than
/// thrown, so a save can never fail on a strange file name.
std::string dump(const nlohmann::json& value);

void requireObject(const nlohmann::json& value, std::string_view what);

/// The value at `key`, or null when missing or null.
const nlohmann::json* find(const nlohmann::json& object, std::string_view key);

std::optional<bool> boolean(const nlohmann::json& object, std::string_view key);
std::optional<std::string> string(const nlohmann::json& object, std::string_view key);
std::optional<std::int64_t> int64(const nlohmann::json& object, std::string_view key);
std::optional<int> int32(const nlohmann::json& object, std::string_view key);
/// A "file:" URL, as a standardised path.
std::optional<std::filesystem::path> fileURL(const nlohmann::json& object, std::string_view key);

/// As above, but a missing or null value is an error.
std::string requiredString(const nlohmann::json& object, std::string_view key);

} // namespace velk::recordjson
