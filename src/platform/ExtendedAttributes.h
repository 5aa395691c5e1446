#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velk {

/// The value of the extended attribute `name` ("user.…") of the file itself (a symbolic
/// link is not followed). None when the file has no such attribute, the file system keeps
/// none, or the file cannot be examined.
std::optional<std::string> readExtendedAttribute(const std::filesystem::path& file,
                                                 std::string_view name);

/// Sets `name` to `value` on the file itself. False when the file system keeps no
/// extended attributes or refuses this one: they are a convenience, never required.
bool writeExtendedAttribute(const std::filesystem::path& file, std::string_view name,
                            std::string_view value);

} // namespace velk
