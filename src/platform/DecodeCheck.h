#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace velk {

/// Decodes the first frame of a JPEG or lossy/lossless WebP file straight through
/// libjpeg-turbo or libwebp and throws the pixels away: the cheap way to prove that an
/// encoder's output is a whole, readable image.
///
/// True when every scan line (JPEG) or the whole frame with its alpha plane (WebP)
/// decoded without an error or a warning; false when the file is broken, too large
/// (more than `maximumPixels`) or unreadable. None when the file is neither a JPEG nor
/// a still WebP, or is too big to hold in memory: the caller decodes it the general way.
std::optional<bool> decodesCompletely(const std::filesystem::path& file,
                                      std::int64_t maximumPixels);

} // namespace velk
