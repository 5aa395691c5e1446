#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "engine/encoders/ToolEncoding.h"
#include "model/CompressionPreset.h"

namespace velk {

struct ImagePlan;

/// The intermediate raster "cwebp" reads for an output at `destination`: a PAM when the
/// raster keeps its alpha, else a PPM.
std::filesystem::path webPIntermediateURL(const std::filesystem::path& destination, bool hasAlpha);

/// The one "cwebp" run for a file, its settings chosen by the preset; the configured
/// quality is clamped to 0–100, and alpha is never kept at less than 85.
std::vector<ToolCandidate> webPCandidates(const std::filesystem::path& baseName,
                                          const std::filesystem::path& directory,
                                          const std::filesystem::path& input, bool hasAlpha,
                                          CompressionPreset preset, int quality);

/// Writes the plan's raster as a WebP through "cwebp", with `plan.iccData` put in by
/// "webpmux". An output that should carry a profile and does not is never kept. Throws
/// FileError writeUnsupportedScheme (no "cwebp") or writeUnknown (no valid output),
/// ImageSafetyError, FileSystemError or FolderCompressorControlError cancelled. No
/// scratch file outlives the call. Takes the plan so as to let go of its raster once the
/// tool's intermediate file is written.
void writeWebPImage(const EncoderContext& context, const std::filesystem::path& destination,
                    ImagePlan plan, CompressionPreset preset, int quality);

} // namespace velk
