#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velk {

std::string asciiLowercase(std::string_view text);

bool isValidUtf8(std::string_view bytes);

/// The bytes as UTF-8 for showing to a person or writing to the log: valid UTF-8 is
/// returned unchanged, every byte of an invalid sequence becomes U+FFFD. Lossy, so
/// never use it as a key.
std::string displayText(std::string_view bytes);

/// At most `maximumBytes` of the text's start, cut before a UTF-8 continuation byte so
/// that a character is never split.
std::string_view truncatedToBytes(std::string_view text, std::size_t maximumBytes);

} // namespace velk
