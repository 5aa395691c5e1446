#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velk {

/// Standard alphabet with "=" padding, no line breaks.
std::string base64Encode(std::string_view bytes);

/// Strict: only the standard alphabet, a length that is a multiple of four, padding only
/// at the end and unused trailing bits zero, so every accepted text is exactly what
/// base64Encode would write. None for anything else, including whitespace.
std::optional<std::string> base64Decode(std::string_view text);

} // namespace velk
