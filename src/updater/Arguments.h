#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velk::updater {

/// The installer's whole interface with the program that starts it.
struct Arguments {
    std::int32_t parentPID = 0;
    std::filesystem::path targetURL;
    std::filesystem::path diskImageURL;
    std::string expectedVersion;
    bool relaunch = false;
    /// Value of "--result": where to record how the installation ended. Optional, and like
    /// every key it does not know, an older installer ignores it.
    std::optional<std::filesystem::path> resultFile = std::nullopt;

    bool operator==(const Arguments&) const = default;
};

/// Parses the words after the program path; nothing when the command line is invalid.
std::optional<Arguments> parseArguments(const std::vector<std::string>& words);

} // namespace velk::updater
