#include "updater/Arguments.h"

#include <charconv>
#include <map>

namespace velk::updater {

namespace {

std::optional<std::int32_t> parsePid(const std::string& text) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty())
        return std::nullopt;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
    }
    // Parsed as 64 bits first so that "-2147483648" is accepted and one more is not.
    std::int64_t magnitude = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (error != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value < INT32_MIN || value > INT32_MAX)
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

} // namespace

std::optional<Arguments> parseArguments(const std::vector<std::string>& words) {
    std::map<std::string, std::string> values;
    bool relaunch = false;
    for (std::size_t i = 0; i < words.size();) {
        const std::string& word = words[i];
        if (word == "--relaunch") {
            relaunch = true;
            ++i;
        } else if (word.starts_with("--") && i + 1 < words.size()) {
            values[word] = words[i + 1];
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    if (values.empty())
        return std::nullopt;

    const auto pid = values.find("--pid");
    const auto target = values.find("--target");
    const auto diskImage = values.find("--dmg");
    const auto version = values.find("--version");
    if (pid == values.end() || target == values.end() || diskImage == values.end() ||
        version == values.end() || version->second.empty()) {
        return std::nullopt;
    }
    const auto parentPID = parsePid(pid->second);
    if (!parentPID)
        return std::nullopt;
    Arguments arguments{*parentPID, target->second, diskImage->second, version->second, relaunch};
    if (const auto result = values.find("--result");
        result != values.end() && !result->second.empty())
        arguments.resultFile = result->second;
    return arguments;
}

} // namespace velk::updater
