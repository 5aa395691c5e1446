#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "model/RecordDecodeError.h"

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
/// A non-negative integer up to 2^64 - 1; a negative one or a fraction is the wrong type.
std::optional<std::uint64_t> uint64(const nlohmann::json& object, std::string_view key);
/// Any number, integer or not.
std::optional<double> number(const nlohmann::json& object, std::string_view key);
/// A "file:" URL, as a standardised path.
std::optional<std::filesystem::path> fileURL(const nlohmann::json& object, std::string_view key);

/// As above, but a missing or null value is an error.
std::string requiredString(const nlohmann::json& object, std::string_view key);

/// What one of the readers above found at `key`; RecordDecodeError(missingKey) when it
/// found nothing.
template <class T> T required(std::optional<T> value, std::string_view key) {
    if (!value)
        throw RecordDecodeError(RecordDecodeError::Kind::missingKey,
                                std::string(key) + ": missing");
    return std::move(*value);
}

/// The object at `key`: missing, null and any other type are all errors.
const nlohmann::json& requiredObject(const nlohmann::json& object, std::string_view key);

} // namespace velk::recordjson
