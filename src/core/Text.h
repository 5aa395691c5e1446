#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velk {

std::string asciiLowercase(std::string_view text);

bool isValidUtf8(std::string_view bytes);

/// The bytes as valid UTF-8: valid sequences unchanged, every byte of an invalid one
/// U+FFFD. For text that must be valid (JSON, D-Bus) yet keep its line breaks. Lossy,
/// so never use it as a key.
std::string validUtf8Text(std::string_view bytes);

/// validUtf8Text with every control character made visible: \t, \n and \r, \x1b style
/// for the other C0 controls and DEL, \u0085 style for C1. For the log, the terminal and
/// notifications, where a file name must not be able to start a line or steer the
/// terminal. Lossy, so never use it as a key.
std::string displayText(std::string_view bytes);

/// At most `maximumBytes` of the text's start, cut before a UTF-8 continuation byte so
/// that a character is never split.
std::string_view truncatedToBytes(std::string_view text, std::size_t maximumBytes);

} // namespace velk
