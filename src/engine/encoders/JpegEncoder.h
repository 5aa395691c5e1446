#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "engine/encoders/ToolEncoding.h"

namespace velk {

class EngineControl;
struct ImagePlan;

/// The intermediate raster "cjpeg" reads for an output at `destination`.
std::filesystem::path jpegIntermediateURL(const std::filesystem::path& destination);

/// The one "cjpeg" run for a file: the configured quality clamped to 0–100, then
/// progressive, optimised, 4:2:0, and "-icc" only when there is a profile file.
std::vector<ToolCandidate> jpegCandidates(const std::filesystem::path& baseName,
                                          const std::filesystem::path& directory,
                                          const std::filesystem::path& input,
                                          const std::optional<std::filesystem::path>& icc,
                                          int quality);

/// Whether the "cjpeg" at `tool` takes "-icc FILE" (libjpeg-turbo's does, older MozJPEG
/// builds reject it). Found out by encoding a 1×1 image once; the answer is remembered
/// while the file keeps its path, size and modification time. False when the question
/// cannot be asked at all. Throws FolderCompressorControlError cancelled.
bool cjpegAcceptsICCOption(EngineControl& control, const std::filesystem::path& tool);

/// Writes the plan's raster as a JPEG through "cjpeg", carrying `plan.iccData` whether or
/// not the tool can embed it itself. Throws FileError writeUnsupportedScheme (no "cjpeg")
/// or writeUnknown (no valid output), ImageSafetyError, FileSystemError or
/// FolderCompressorControlError cancelled. No scratch file outlives the call. Takes the
/// plan so as to let go of its raster once the tool's intermediate file is written.
void writeJPEGImage(const EncoderContext& context, const std::filesystem::path& destination,
                    ImagePlan plan, int quality);

} // namespace velk
