#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velk {

/// Longest message a notice shows, in user-perceived characters.
inline constexpr std::size_t maximumMessageLength = 120;

/// Counts user-perceived characters (grapheme clusters): a letter with its accents, an
/// emoji with its skin tone or joined sequence, and a flag each count once. Bytes that are
/// not UTF-8 count as one replacement character each.
std::size_t userPerceivedLength(std::string_view text);

/// One line of at most `maximumMessageLength` characters: line feeds become spaces, other
/// controls visible escapes (displayText), and a longer text keeps its first 117 characters
/// followed by "...". The result is always valid UTF-8, so it can be shown or sent over D-Bus
/// whatever bytes the input held.
std::string shortenedMessage(std::string_view message);

} // namespace velk
