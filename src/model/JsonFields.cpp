#include "model/JsonFields.h"

#include <limits>

#include "core/Paths.h"
#include "model/RecordDecodeError.h"

namespace velk::recordjson {

namespace {
[[noreturn]] void fail(RecordDecodeError::Kind kind, std::string_view key, std::string_view why) {
    throw RecordDecodeError(kind, std::string(key) + ": " + std::string(why));
}
} // namespace

nlohmann::json parse(std::string_view text) {
    try {
        return nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& error) {
        throw RecordDecodeError(RecordDecodeError::Kind::syntax, error.what());
    }
}

std::string dump(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void requireObject(const nlohmann::json& value, std::string_view what) {
    if (!value.is_object())
        fail(RecordDecodeError::Kind::wrongType, what, "not an object");
}

const nlohmann::json* find(const nlohmann::json& object, std::string_view key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return nullptr;
    return &*it;
}

std::optional<bool> boolean(const nlohmann::json& object, std::string_view key) {
    const nlohmann::json* value = find(object, key);
    if (!value)
        return std::nullopt;
    if (!value->is_boolean())
        fail(RecordDecodeError::Kind::wrongType, key, "not a boolean");
    return value->get<bool>();
}

std::optional<std::string> string(const nlohmann::json& object, std::string_view key) {
    const nlohmann::json* value = find(object, key);
    if (!value)
        return std::nullopt;
    if (!value->is_string())
        fail(RecordDecodeError::Kind::wrongType, key, "not a string");
    return value->get<std::string>();
}

std::optional<std::int64_t> int64(const nlohmann::json& object, std::string_view key) {
    const nlohmann::json* value = find(object, key);
    if (!value)
        return std::nullopt;
    if (value->is_number_unsigned()) {
        const auto number = value->get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            fail(RecordDecodeError::Kind::badValue, key, "out of range");
        }
        return static_cast<std::int64_t>(number);
    }
    if (!value->is_number_integer())
        fail(RecordDecodeError::Kind::wrongType, key, "not an integer");
    return value->get<std::int64_t>();
}

std::optional<int> int32(const nlohmann::json& object, std::string_view key) {
    const auto number = int64(object, key);
    if (!number)
        return std::nullopt;
    if (*number < std::numeric_limits<int>::min() || *number > std::numeric_limits<int>::max()) {
        fail(RecordDecodeError::Kind::badValue, key, "out of range");
    }
    return static_cast<int>(*number);
}

std::optional<std::uint64_t> uint64(const nlohmann::json& object, std::string_view key) {
    const nlohmann::json* value = find(object, key);
    if (!value)
        return std::nullopt;
    // nlohmann keeps every non-negative integer literal as unsigned; a negative one, a
    // fraction or a value past 2^64 (parsed as floating point) is none.
    if (!value->is_number_unsigned())
        fail(RecordDecodeError::Kind::wrongType, key, "not an unsigned integer");
    return value->get<std::uint64_t>();
}

std::optional<double> number(const nlohmann::json& object, std::string_view key) {
    const nlohmann::json* value = find(object, key);
    if (!value)
        return std::nullopt;
    if (!value->is_number())
        fail(RecordDecodeError::Kind::wrongType, key, "not a number");
    return value->get<double>();
}

std::optional<std::filesystem::path> fileURL(const nlohmann::json& object, std::string_view key) {
    const auto text = string(object, key);
    if (!text)
        return std::nullopt;
    auto path = pathFromFileURL(*text);
    if (!path)
        fail(RecordDecodeError::Kind::badValue, key, "not a file URL");
    return path;
}

std::string requiredString(const nlohmann::json& object, std::string_view key) {
    return required(string(object, key), key);
}

const nlohmann::json& requiredObject(const nlohmann::json& object, std::string_view key) {
    const nlohmann::json* value = find(object, key);
    if (!value)
        fail(RecordDecodeError::Kind::missingKey, key, "missing");
    requireObject(*value, key);
    return *value;
}

} // namespace velk::recordjson
