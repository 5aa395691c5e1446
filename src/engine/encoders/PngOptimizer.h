#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "engine/encoders/ToolEncoding.h"

namespace velk {

/// Fills the given file with the PNG the outside tools try to beat.
using PngBaseWriter = std::function<void(const std::filesystem::path&)>;

/// pngquant's "--quality" range for a configured PNG quality: the top clamped to 0–100,
/// the floor 20 below it (0 for qualities under 20).
std::string pngquantQualityRange(int quality);

/// Writes the smallest of the base PNG, its "oxipng" rewrite and its "pngquant" (then
/// "oxipng") reduction to `destination`; ties go to the earlier, so a tool's file wins
/// only when strictly smaller. Every candidate carries `iccData` (when present) as its
/// only colour description, and a tool's file is kept only when it decodes. A missing
/// or failing tool only removes its candidate. The quantised candidate is made on a
/// thread of its own while the lossless one is made here; the full "oxipng" run is
/// skipped when a quick estimate of it is more than 50 % larger than pngquant's file, and
/// the lossless side not run at all for a base over 192 MiB decoded (oxipng would hold
/// more than a gigabyte).
/// Throws whatever `writeBase` or the profile step on the base throws, FileSystemError
/// when the winner cannot be copied, ToolTimeLimitError (either side's; the other side's
/// tools are ended first), or FolderCompressorControlError cancelled. No scratch file
/// outlives the call, and no tool or thread of it.
void writePNGImage(const EncoderContext& context, const std::filesystem::path& destination,
                   const std::optional<std::string>& iccData, int quality,
                   const PngBaseWriter& writeBase);

} // namespace velk
