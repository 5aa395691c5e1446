#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "platform/FileSystem.h"

namespace velk {

/// Decodes the first frame of a JPEG, PNG or WebP file straight through libjpeg-turbo,
/// libpng or libwebp and throws the pixels away: the cheap way to prove that an encoder's
/// output is a whole, readable image.
///
/// True when all of the image data decoded without an error (for JPEG, also without a
/// warning); false when the file is broken, too large (more than `maximumPixels`) or
/// unreadable. The file is examined and read through `fs`, never through a symbolic link. None when
/// the file is none of these formats, or too big to hold in memory: the caller decodes it the
/// general way.
std::optional<bool> decodesCompletely(const FileSystem& fs, const std::filesystem::path& file,
                                      std::int64_t maximumPixels);

} // namespace velk
