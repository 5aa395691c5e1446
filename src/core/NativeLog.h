#pragma once

#include <cstdint>
#include <string_view>

namespace velk {

/// The diagnostic log: "native.log" in the log folder, rotated into "native.log.1".
/// Safe to call from any thread; never throws and never reports failure.
class NativeLog {
public:
    static constexpr std::uintmax_t rotationThreshold = 1'000'000;
    static constexpr std::uintmax_t rotatedTailBytes = 500'000;

    /// One line per call: control characters in the message (a line feed in a file name,
    /// an error text of several lines) are written as visible escapes, so no message can
    /// forge or split a line.
    static void write(std::string_view message);
    /// Written only when VELK_DEBUG_LOG is "1", "true" or "yes" in any letter case.
    static void debug(std::string_view message);
    static bool debugEnabled();
};

} // namespace velk
